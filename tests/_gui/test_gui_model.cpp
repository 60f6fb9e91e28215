// The dispatcher over received frames: routing, copies, quiet flag and clamped counts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "_gui/console_model.h"

namespace {

std::vector<uint8_t> Frame(uint32_t id, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> f(4);
    std::memcpy(f.data(), &id, 4);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

template <typename T>
void Put(std::vector<uint8_t>& v, T value)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&value);
    v.insert(v.end(), p, p + sizeof(T));
}

struct RecordingView : ConsoleView {
    std::vector<std::string> log, boxes;
    std::vector<std::vector<std::string>> listings;
    int addressChanges = 0, dirChanges = 0;
    std::vector<uint32_t> lists;
    void AppendLog(const std::string& l) override { log.push_back(l); }
    void ShowNoticeBox(const std::string& t) override { boxes.push_back(t); }
    void WorkingDirectoriesChanged() override { ++dirChanges; }
    void HostAddressesChanged() override { ++addressChanges; }
    void DirectoryListing(const std::vector<std::string>& l) override { listings.push_back(l); }
    void ListsChanged(uint32_t id) override { lists.push_back(id); }
};

int Dispatch(ConsoleModel& m, ConsoleView* v, const std::vector<uint8_t>& f)
{
    // A copy the exact size of the frame, so that ASan sees any read past it.
    std::vector<uint8_t> exact(f);
    return DispatchConsoleFrame(m, v, exact.data(), exact.size());
}

std::vector<uint8_t> Text(const char* s, bool nul = true)
{
    std::vector<uint8_t> v(s, s + std::strlen(s));
    if (nul)
        v.push_back(0);
    return v;
}

}  // namespace

TEST(GuiDispatch, TextNoticesReachTheWindowAndStayBoundedByTheFrame)
{
    ConsoleModel m;
    RecordingView v;
    EXPECT_EQ(Dispatch(m, &v, Frame(NOTICE_LOG, Text("[12/10] hello"))), 4 + 14);
    Dispatch(m, &v, Frame(NOTICE_WARNING, Text("careful")));
    Dispatch(m, &v, Frame(NOTICE_ERROR, Text("broken", false)));  // no NUL: cut at the frame
    ASSERT_EQ(v.log.size(), 1u);
    EXPECT_EQ(v.log[0], "[12/10] hello");
    EXPECT_EQ(v.boxes, (std::vector<std::string>{"careful", "broken"}));
}

TEST(GuiDispatch, SettingsCopiesAndRunningMask)
{
    ConsoleModel m;
    GlobalSettings g{};
    std::strcpy(g.TFTP_RootDirectory, "/srv/root");
    g.NIMBO_Services = 0x205;
    std::vector<uint8_t> raw(reinterpret_cast<uint8_t*>(&g), reinterpret_cast<uint8_t*>(&g) + sizeof(g));
    Dispatch(m, nullptr, Frame(NOTICE_GLOBAL_SETTINGS, raw));
    EXPECT_EQ(std::memcmp(&m.settings, &g, sizeof(g)), 0);

    std::vector<uint8_t> dhcp(kDhcpSettingsSize);
    for (size_t i = 0; i < dhcp.size(); ++i)
        dhcp[i] = static_cast<uint8_t>(i * 7);
    Dispatch(m, nullptr, Frame(NOTICE_DHCP_SETTINGS, dhcp));
    EXPECT_EQ(m.dhcpSettings, dhcp);

    std::vector<uint8_t> mask;
    Put<uint32_t>(mask, 0x7205);
    Dispatch(m, nullptr, Frame(NOTICE_RUNNING_SERVICES, mask));
    EXPECT_EQ(m.settings.RunningServices, 0x7205u);

    // Short records are refused whole rather than copied in part.
    ConsoleModel fresh;
    raw.resize(100);
    Dispatch(fresh, nullptr, Frame(NOTICE_GLOBAL_SETTINGS, raw));
    Dispatch(fresh, nullptr, Frame(NOTICE_RUNNING_SERVICES, {1, 2}));
    EXPECT_EQ(fresh.settings.NIMBO_Services, 0);
    EXPECT_EQ(fresh.settings.RunningServices, 0u);
}

TEST(GuiDispatch, WithoutWindowOnlyCopiesAreFilled)
{
    ConsoleModel m;
    Dispatch(m, nullptr, Frame(NOTICE_LOG, Text("line")));
    Dispatch(m, nullptr, Frame(NOTICE_WORKING_DIR, Text("/srv/tftp")));
    std::vector<uint8_t> ips;
    Put<uint32_t>(ips, 1);
    Put<uint32_t>(ips, 0x0100007f);
    Put<uint32_t>(ips, 0);
    Dispatch(m, nullptr, Frame(NOTICE_HOST_IP_LIST, ips));
    EXPECT_STREQ(m.settings.WorkingDirectory, "/srv/tftp");
    EXPECT_TRUE(m.workingDirectories.empty());
    EXPECT_TRUE(m.hostAddresses.empty());
}

TEST(GuiDispatch, WorkingDirectoriesAreAddedOnceAndSelected)
{
    ConsoleModel m;
    RecordingView v;
    for (const char* d : {"/a", "/b", "/a"})
        Dispatch(m, &v, Frame(NOTICE_WORKING_DIR, Text(d)));
    EXPECT_EQ(m.workingDirectories, (std::vector<std::string>{"/a", "/b"}));
    EXPECT_EQ(m.selectedWorkingDirectory, 0);
    EXPECT_EQ(v.dirChanges, 3);
    EXPECT_EQ(GetSelectedWorkDir(m, 260), std::optional<std::string>("/a/"));
    EXPECT_EQ(GetSelectedWorkDir(m, 4), std::optional<std::string>("/a/"));
    EXPECT_EQ(GetSelectedWorkDir(m, 3), std::nullopt);
    EXPECT_EQ(GetSelectedWorkDir(ConsoleModel{}, 260), std::nullopt);
    // A path longer than the settings field is cut with its NUL kept.
    Dispatch(m, &v, Frame(NOTICE_WORKING_DIR, Text(std::string(400, 'x').c_str())));
    EXPECT_EQ(std::strlen(m.settings.WorkingDirectory), sizeof(m.settings.WorkingDirectory) - 1);
}

TEST(GuiDispatch, QuietFlagDropsViewNoticesOnly)
{
    ConsoleModel m;
    RecordingView v;
    m.quiet = true;
    GlobalSettings g{};
    g.NIMBO_Services = 5;
    Dispatch(m, &v,
             Frame(NOTICE_GLOBAL_SETTINGS,
                   std::vector<uint8_t>(reinterpret_cast<uint8_t*>(&g), reinterpret_cast<uint8_t*>(&g) + sizeof(g))));
    Dispatch(m, &v, Frame(NOTICE_SYSLOG_ROW, std::vector<uint8_t>(40, 'a')));
    Dispatch(m, &v, Frame(NOTICE_LOG, Text("still shown")));
    Dispatch(m, &v, Frame(NOTICE_ERROR, Text("still boxed")));
    std::vector<uint8_t> mask;
    Put<uint32_t>(mask, 0x1001);
    Dispatch(m, &v, Frame(NOTICE_RUNNING_SERVICES, mask));
    EXPECT_EQ(m.settings.NIMBO_Services, 0);
    EXPECT_TRUE(m.kept.empty());
    EXPECT_EQ(v.log.size(), 1u);
    EXPECT_EQ(v.boxes.size(), 1u);
    EXPECT_EQ(m.settings.RunningServices, 0x1001u);
}

// Counts are cut to the record's capacity and to what the frame holds.
TEST(GuiDispatch, CountsAreClampedToCapacityAndFrame)
{
    struct Case {
        const char* name;
        uint32_t id;
        uint32_t claimed;
        size_t entriesSent;
        size_t expected;
    };
    const Case cases[] = {
        {"stats exact", NOTICE_TRANSFER_STATS, 3, 3, 3},
        {"stats claims more than sent", NOTICE_TRANSFER_STATS, 90, 2, 2},
        {"stats above capacity", NOTICE_TRANSFER_STATS, 0xFFFFFFFF, 120, 101},
        {"leases claims more", NOTICE_LEASE_ROWS, 50, 1, 1},
        {"leases above capacity", NOTICE_LEASE_ROWS, 1000, 60, 50},
        {"addresses claims more", NOTICE_HOST_IP_LIST, 30, 2, 2},
        {"addresses above capacity", NOTICE_HOST_IP_LIST, 31, 31, 30},
        {"directory claims more", NOTICE_DIRECTORY_LISTING, 200, 3, 3},
        {"directory above capacity", NOTICE_DIRECTORY_LISTING, 0x7FFFFFFF, 201, 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleModel m;
        RecordingView v;
        std::vector<uint8_t> payload;
        Put<uint32_t>(payload, c.claimed);
        size_t entry = 0;
        switch (c.id) {
        case NOTICE_TRANSFER_STATS:
            Put<uint64_t>(payload, 1234);
            entry = kGuiStatsEntrySize;
            break;
        case NOTICE_LEASE_ROWS: entry = kGuiLeaseRowSize; break;
        case NOTICE_HOST_IP_LIST: entry = 8; break;
        default: entry = kGuiDirectoryLineSize; break;
        }
        for (size_t i = 0; i < c.entriesSent; ++i) {
            std::vector<uint8_t> e(entry, 'a');
            const uint32_t number = static_cast<uint32_t>(i + 1);
            std::memcpy(e.data(), &number, 4);
            payload.insert(payload.end(), e.begin(), e.end());
        }
        payload.resize(payload.size() + 3, 'z');  // a partial entry is not an entry
        Dispatch(m, &v, Frame(c.id, payload));
        switch (c.id) {
        case NOTICE_TRANSFER_STATS:
            ASSERT_EQ(m.transferStats.size(), c.expected);
            EXPECT_EQ(m.statsTime, 1234u);
            EXPECT_EQ(m.transferStats.back().number, c.expected);
            break;
        case NOTICE_LEASE_ROWS: EXPECT_EQ(m.leaseRows.size(), c.expected); break;
        case NOTICE_HOST_IP_LIST:
            ASSERT_EQ(m.hostAddresses.size(), c.expected);
            EXPECT_EQ(m.hostAddresses[0], 1u);
            break;
        default:
            ASSERT_EQ(v.listings.size(), 1u);
            EXPECT_EQ(v.listings[0].size(), c.expected);
            break;
        }
    }
}

TEST(GuiDispatch, ShortFramesAndUnknownIds)
{
    ConsoleModel m;
    RecordingView v;
    EXPECT_EQ(Dispatch(m, &v, {1, 0, 0}), 3);
    EXPECT_EQ(Dispatch(m, &v, Frame(NOTICE_TRANSFER_STATS, {1, 2, 3})), 7);  // too short for its header
    EXPECT_EQ(Dispatch(m, &v, Frame(NOTICE_HOST_IP_LIST, {})), 4);
    EXPECT_EQ(Dispatch(m, &v, Frame(215, Text("x"))), 6);
    EXPECT_EQ(Dispatch(m, &v, Frame(NOTICE_SERVICES_STARTED, {})), 4);
    EXPECT_EQ(m.unknownCount, 1u);
    EXPECT_EQ(m.servicesStartedCount, 1u);
    EXPECT_TRUE(m.transferStats.empty());
}

TEST(GuiDispatch, ListNoticesAreKeptBounded)
{
    ConsoleModel m;
    RecordingView v;
    for (int i = 0; i < 600; ++i)
        Dispatch(m, &v, Frame(NOTICE_SNTP_CLIENT, Text("10.0.0.1")));
    Dispatch(m, &v, Frame(NOTICE_TRANSFER_BEGIN, std::vector<uint8_t>(kGuiTransferRecordSize, 1)));
    Dispatch(m, &v, Frame(NOTICE_TRANSFER_BEGIN, std::vector<uint8_t>(10, 1)));  // short: not kept
    EXPECT_EQ(m.kept[NOTICE_SNTP_CLIENT].size(), kGuiKeptPerNotice);
    EXPECT_EQ(m.kept[NOTICE_TRANSFER_BEGIN].size(), 1u);
}
