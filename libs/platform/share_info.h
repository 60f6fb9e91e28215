// Share look-up on the host's SMB server: the folder a share name points to.
#pragma once
#include <string>

// Result codes of ShareGetPath, as the share API of the server reports them.
inline constexpr int kShareOk = 0;
inline constexpr int kShareAccessDenied = 5;
inline constexpr int kShareNotFound = 2310;
inline constexpr int kShareNoServer = 2114;  // no look-up tool answered

// Looks the share up in the server's configuration (testparm), then among the user shares
// (net usershare). 0 with *path set, or one of the codes above.
int ShareGetPath(const std::string& name, std::string* path);

// The smb.conf that the look-up reads; empty (the default) means the server's own.
void SetShareConfigFile(const std::string& file);
