// The TFTP client pane on the offscreen platform: its fields, the balloons of refused input,
// the overwrite question, Break during a transfer, files dropped on the local-file field, the
// batch question and the batch with its summary, against a small loopback server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "_gui/balloon.h"
#include "_gui/tftp_client_pane.h"
#include "_services/host_records.h"
#include "tests/_gui/tftpc_page.h"

namespace {

// A write-only server on loopback: ACK 0 to a request, an ACK to every block in order; with
// silent set it never answers. It keeps the names of the files asked for.
struct MiniServer {
    int fd = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    std::atomic<bool> silent{false};
    std::mutex mutex;
    std::vector<std::string> names;
    std::thread thread;
    explicit MiniServer(bool quiet) : silent(quiet)
    {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        thread = std::thread([this] { Run(); });
    }
    std::vector<std::string> Names()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return names;
    }
    ~MiniServer()
    {
        stop = true;
        thread.join();
        close(fd);
    }
    void Run()
    {
        uint8_t buf[70000];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 4)
                continue;
            if (buf[1] == 1 || buf[1] == 2) {
                std::lock_guard<std::mutex> lock(mutex);
                names.emplace_back(reinterpret_cast<char*>(buf + 2), strnlen(reinterpret_cast<char*>(buf + 2), n - 2));
            }
            if (silent)
                continue;
            uint8_t ack[4] = {0, 4, 0, 0};
            if (buf[1] == 3) {
                ack[2] = buf[2];
                ack[3] = buf[3];
            } else if (buf[1] != 2) {
                continue;
            }
            sendto(fd, ack, 4, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
};

using Page = TftpcPage;

// Files of the given sizes in a temporary folder.
QStringList MakeFiles(const QTemporaryDir& dir, std::initializer_list<int> sizes)
{
    QStringList files;
    int i = 0;
    for (int size : sizes) {
        QString name = dir.filePath(QString("f%1").arg(i++));
        QFile f(name);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(size, 'a'));
        files << name;
    }
    return files;
}

bool WaitFor(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return true;
}

// A pane on its page against a MiniServer named in the server field, with scripted boxes and
// the pane's signals recorded.
struct Rig {
    ScriptedBoxes boxes;
    MiniServer server;
    Page page;
    TftpClientPane pane;
    QTemporaryDir dir;
    QSignalSpy transfers, ended;
    Rig(bool silent, int answer)
        : server(silent),
          pane([this](int id) { return page(id); }, &page.window),
          transfers(&pane, &TftpClientPane::transferEnded),
          ended(&pane, &TftpClientPane::batchEnded)
    {
        boxes.answer = answer;
        pane.SetServerPort(server.port);
        page.edit(CTL_TFTPC_SERVER)->setText("127.0.0.1");
    }
};

class TftpcPane : public ::testing::Test {
protected:
    void SetUp() override { EnsureQtApp(); }
    void TearDown() override { BalloonClose(); }
};

TEST_F(TftpcPane, FieldsAndBalloons)
{
    Page page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    EXPECT_EQ(page.combo(CTL_TFTPC_BLKSIZE)->count(), 8);
    EXPECT_EQ(page.combo(CTL_TFTPC_BLKSIZE)->currentText(), "1468");
    EXPECT_EQ(page.combo(CTL_TFTPC_WINSIZE)->currentText(), "8");
    EXPECT_EQ(page.combo(CTL_TFTPC_WINSIZE)->itemText(7), "Edit...");
    EXPECT_FALSE(page(CTL_TFTPC_BREAK)->isEnabled());
    EXPECT_TRUE(page(CTL_TFTPC_GET)->isEnabled());

    QTemporaryDir dir;
    QString file = dir.filePath("a.bin");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
    f.close();
    struct Row {
        const char* server;
        const char* remote;
        QString local;
        const char* blk;
        const char* win;
        int cmd;
        const char* text;
    };
    const Row rows[] = {
        {"", "r", file, "1468", "8", CTL_TFTPC_GET, "Error: \nGET command requires a target TFTP Server"},
        {"h", "", file, "1468", "8", CTL_TFTPC_GET, "Error: \nGET command requires a Remote File"},
        {"h", "r", "", "1468", "8", CTL_TFTPC_GET, "Error: \nGET command requires a valid Local File"},
        {"", "r", file, "1468", "8", CTL_TFTPC_PUT, "Error: \nPUT command requires a target TFTP Server"},
        {"h", "r", dir.path(), "1468", "8", CTL_TFTPC_PUT, "Error: \nPUT command requires a valid Local File"},
        {"h", "r", dir.filePath("none"), "1468", "8", CTL_TFTPC_PUT,
         "Error: \nPUT command requires a valid Local File"},
        {"h", "r", file, "511", "8", CTL_TFTPC_PUT,
         "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468"},
        {"h", "r", file, "16385", "8", CTL_TFTPC_PUT,
         "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468"},
        {"h", "r", file, "Edit...", "8", CTL_TFTPC_PUT,
         "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468"},
        {"h", "r", file, "16384", "65", CTL_TFTPC_PUT,
         "Error: \nWindowsize should be any number between 1 and 64\nDefault: 8"},
        {"h", "r", file, "512", "Edit...", CTL_TFTPC_PUT,
         "Error: \nWindowsize should be any number between 1 and 64\nDefault: 8"},
    };
    for (const Row& r : rows) {
        BalloonClose();
        page.edit(CTL_TFTPC_SERVER)->setText(r.server);
        page.edit(CTL_TFTPC_REMOTE_FILE)->setText(r.remote);
        page.edit(CTL_TFTPC_LOCAL_FILE)->setText(r.local);
        page.combo(CTL_TFTPC_BLKSIZE)->setCurrentText(r.blk);
        page.combo(CTL_TFTPC_WINSIZE)->setCurrentText(r.win);
        pane.OnCommand(r.cmd);
        ASSERT_NE(CurrentBalloon(), nullptr) << r.text;
        EXPECT_EQ(CurrentBalloon()->text(), r.text);
        EXPECT_FALSE(pane.Busy());
    }
}

TEST_F(TftpcPane, BreakEndsTheTransfer)
{
    MiniServer server(true);
    Page page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    pane.SetServerPort(server.port);
    QTemporaryDir dir;
    page.edit(CTL_TFTPC_SERVER)->setText("127.0.0.1");
    page.edit(CTL_TFTPC_REMOTE_FILE)->setText("x.bin");
    page.edit(CTL_TFTPC_LOCAL_FILE)->setText(dir.filePath("x.bin"));
    QSignalSpy ended(&pane, &TftpClientPane::transferEnded);
    pane.OnCommand(CTL_TFTPC_GET);
    ASSERT_TRUE(pane.Busy());
    EXPECT_TRUE(page(CTL_TFTPC_BREAK)->isEnabled());
    EXPECT_FALSE(page(CTL_TFTPC_GET)->isEnabled());
    static_cast<QPushButton*>(page(CTL_TFTPC_BREAK))->click();
    ASSERT_TRUE(ended.wait(5000));
    EXPECT_FALSE(ended[0][0].toBool());
    EXPECT_EQ(ended[0][1].toString(), "Transfer canceled by user");
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_EQ(CurrentBalloon()->title(), "Transfer ERR");
    EXPECT_TRUE(page(CTL_TFTPC_GET)->isEnabled());
    EXPECT_FALSE(page(CTL_TFTPC_BREAK)->isEnabled());
}

// Drops one file and answers nothing: the field takes it. Several files with no server to
// send them to: the first one.
TEST_F(TftpcPane, DroppedFilesFillTheLocalField)
{
    ScriptedBoxes boxes;
    Page page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    QTemporaryDir dir;
    const QStringList files = MakeFiles(dir, {1, 2, 3});
    EXPECT_TRUE(page(CTL_TFTPC_LOCAL_FILE)->acceptDrops());
    ASSERT_TRUE(DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), {files[1]}));
    EXPECT_TRUE(WaitFor([&] { return page.edit(CTL_TFTPC_LOCAL_FILE)->text() == files[1]; }));
    page.edit(CTL_TFTPC_SERVER)->clear();
    ASSERT_TRUE(DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), files));
    EXPECT_TRUE(WaitFor([&] { return page.edit(CTL_TFTPC_LOCAL_FILE)->text() == files[0]; }));
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_FALSE(pane.BatchRunning());
}

// Three files and a folder dropped while a server is named: one question; Cancel leaves all as
// it was, No takes the first file into the field, Yes uploads the files one after the other
// (the folder skipped, the typed remote name for the first file only) and ends with one
// summary box.
TEST_F(TftpcPane, BatchQuestionAndUpload)
{
    struct Row {
        int answer;
        bool batch;
    };
    for (const Row row : {Row{IDCANCEL, false}, Row{IDNO, false}, Row{IDYES, true}}) {
        SCOPED_TRACE(row.answer);
        Rig rig(false, row.answer);
        auto& [boxes, server, page, pane, dir, transfers, ended] = rig;
        QStringList files = MakeFiles(dir, {1000, 2000, 3000});
        QDir(dir.path()).mkdir("sub");
        files.insert(1, dir.filePath("sub"));
        page.edit(CTL_TFTPC_REMOTE_FILE)->setText("first.bin");
        page.edit(CTL_TFTPC_LOCAL_FILE)->setText("keep");
        page.combo(CTL_TFTPC_BLKSIZE)->setCurrentText("512");
        ASSERT_TRUE(DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), files));
        ASSERT_TRUE(WaitFor([&] { return !boxes.boxes.empty(); }));
        EXPECT_EQ(boxes.boxes[0].text, "Upload (Put) 4 files to host ?");
        EXPECT_EQ(boxes.boxes[0].caption, ProgramTitle);
        EXPECT_EQ(boxes.boxes[0].type, unsigned(MB_YESNOCANCEL | MB_ICONQUESTION));
        EXPECT_EQ(pane.BatchRunning(), row.batch);
        if (!row.batch) {
            EXPECT_EQ(page.edit(CTL_TFTPC_LOCAL_FILE)->text(), row.answer == IDNO ? files[0] : QString("keep"));
            EXPECT_TRUE(page(CTL_TFTPC_PUT)->isEnabled());
            continue;
        }
        EXPECT_FALSE(page(CTL_TFTPC_GET)->isEnabled());
        EXPECT_FALSE(page(CTL_TFTPC_PUT)->isEnabled());
        EXPECT_TRUE(page(CTL_TFTPC_BREAK)->isEnabled());
        ASSERT_TRUE(ended.wait(20000));
        // 1000, 2000 and 3000 bytes in 512-byte blocks: 2 + 4 + 6 blocks.
        const std::string summary = "3 files fully transferred in 12 blocks and 0 retransmission";
        EXPECT_EQ(ended[0][0].toString().toStdString(), summary);
        EXPECT_EQ(boxes.Count(summary), 1);
        EXPECT_EQ(boxes.boxes.back().caption, ProgramTitle);
        EXPECT_EQ(boxes.boxes.back().type, unsigned(MB_OK));
        EXPECT_EQ(server.Names(), (std::vector<std::string>{"first.bin", "f1", "f2"}));
        EXPECT_TRUE(page(CTL_TFTPC_PUT)->isEnabled());
        EXPECT_FALSE(page(CTL_TFTPC_BREAK)->isEnabled());
    }
}

// Break during a batch ends the running transfer and then the batch with its summary; files
// dropped meanwhile are not asked about.
TEST_F(TftpcPane, BreakEndsTheBatch)
{
    Rig rig(true, IDYES);
    auto& [boxes, server, page, pane, dir, transfers, ended] = rig;
    const QStringList files = MakeFiles(dir, {10, 20, 30});
    ASSERT_TRUE(DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), files));
    ASSERT_TRUE(WaitFor([&] { return pane.Busy(); }));
    ASSERT_TRUE(DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), files.mid(1)));
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.Count("Upload (Put) 2 files to host ?"), 0);
    static_cast<QPushButton*>(page(CTL_TFTPC_BREAK))->click();
    ASSERT_TRUE(ended.wait(5000));
    ASSERT_EQ(transfers.size(), 1);
    EXPECT_EQ(transfers[0][1].toString(), "Transfer canceled by user");
    EXPECT_EQ(ended[0][0].toString(), "0 file fully transferred in 0 block and 0 retransmission");
    EXPECT_EQ(boxes.Count("0 file fully transferred in 0 block and 0 retransmission"), 1);
    EXPECT_FALSE(pane.BatchRunning());
    EXPECT_TRUE(page(CTL_TFTPC_PUT)->isEnabled());
}

// A batch asked for while a transfer runs starts its first file when that transfer has ended.
TEST_F(TftpcPane, BatchWaitsForTheRunningTransfer)
{
    Rig rig(true, IDYES);
    auto& [boxes, server, page, pane, dir, transfers, ended] = rig;
    const QStringList files = MakeFiles(dir, {600, 700, 800});
    page.edit(CTL_TFTPC_REMOTE_FILE)->setText("single");
    page.edit(CTL_TFTPC_LOCAL_FILE)->setText(files[0]);
    page.combo(CTL_TFTPC_BLKSIZE)->setCurrentText("512");
    pane.OnCommand(CTL_TFTPC_PUT);
    ASSERT_TRUE(pane.Busy());
    ASSERT_TRUE(WaitFor([&] { return server.Names().size() == 1; }));  // and left unanswered
    page.edit(CTL_TFTPC_REMOTE_FILE)->clear();
    ASSERT_TRUE(DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), files));
    ASSERT_TRUE(WaitFor([&] { return pane.BatchRunning(); }));
    server.silent = false;  // the single PUT still times out unanswered
    ASSERT_TRUE(ended.wait(20000));
    ASSERT_EQ(transfers.size(), 4);
    EXPECT_EQ(transfers[0][1].toString().toStdString(), "Timeout: Server 127.0.0.1 did not answer");
    EXPECT_EQ(ended[0][0].toString().toStdString(), "3 files fully transferred in 6 blocks and 0 retransmission");
    EXPECT_EQ(server.Names(), (std::vector<std::string>{"single", "f0", "f1", "f2"}));
}

// The overwrite question of a GET into an existing file: No starts nothing and keeps the file.
TEST_F(TftpcPane, GetAsksBeforeOverwriting)
{
    Rig rig(true, 0);
    auto& [boxes, server, page, pane, dir, transfers, ended] = rig;
    const QStringList files = MakeFiles(dir, {5});
    page.edit(CTL_TFTPC_REMOTE_FILE)->setText("x.bin");
    page.edit(CTL_TFTPC_LOCAL_FILE)->setText(files[0]);
    for (int answer : {IDNO, IDYES}) {
        boxes.answer = answer;
        pane.OnCommand(CTL_TFTPC_GET);
        ASSERT_EQ(boxes.boxes.size(), answer == IDNO ? 1u : 2u);
        EXPECT_EQ(boxes.boxes.back().text, "Local File exists, overwrite it ?");
        EXPECT_EQ(boxes.boxes.back().type, unsigned(MB_YESNO | MB_ICONQUESTION));
        EXPECT_EQ(pane.Busy(), answer == IDYES);
        EXPECT_EQ(QFileInfo(files[0]).size(), answer == IDNO ? 5 : 0);
    }
    pane.OnCommand(CTL_TFTPC_BREAK);
    ASSERT_TRUE(transfers.wait(5000));
}

}  // namespace
