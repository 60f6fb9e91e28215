// Single members of cabinet files (whole cabinets and the one-member compressed files whose
// extension ends in '_'). A context is used by one thread at a time; make one per thread.
#pragma once
#include <string>

struct CabRequest {
    std::string cabinet;  // path of the cabinet file
    std::string member;   // wanted member, compared without case
    std::string target;   // file to write; replaced only when the member was extracted whole
    bool done = false;    // set when the target was written, time-stamped and put in place
};

struct CabContext;

// A context, or nullptr when none can be made.
CabContext* CabCreateContext();
// Extracts the member to a temporary file beside the target, gives it the member's date and
// time (taken as local time) and renames it into place. False when the cabinet cannot be
// read (missing, not a cabinet: compressed files of other formats are not read), the member
// is missing or the extraction or the rename fails; the target is then left untouched.
bool CabExtractFile(CabContext* context, CabRequest* request);
// 1 when the context was released, 0 for nullptr.
int CabDestroyContext(CabContext* context);

// A context released when it goes out of scope.
class CabSession {
public:
    CabSession() : context_(CabCreateContext()) {}
    ~CabSession() { CabDestroyContext(context_); }
    CabSession(const CabSession&) = delete;
    CabSession& operator=(const CabSession&) = delete;
    bool Extract(const std::string& cabinet, const std::string& member, const std::string& target) {
        CabRequest r{cabinet, member, target, false};
        return context_ && CabExtractFile(context_, &r) && r.done;
    }

private:
    CabContext* context_;
};
