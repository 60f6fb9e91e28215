// The TFTP client pane on the offscreen platform: its fields, the balloons of refused input,
// Break during a transfer and the batch summary, against a small loopback server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <map>
#include <thread>

#include "balloon.h"
#include "qt_app.h"
#include "tftp_client_pane.h"

namespace {

// A write-only server on loopback: ACK 0 to a request, an ACK to every block in order; with
// silent set it never answers.
struct MiniServer {
    int fd = -1;
    uint16_t port = 0;
    std::atomic<bool> stop{false};
    bool silent = false;
    std::thread thread;
    explicit MiniServer(bool quiet) : silent(quiet) {
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
    ~MiniServer() {
        stop = true;
        thread.join();
        close(fd);
    }
    void Run() {
        uint8_t buf[70000];
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 4 || silent) continue;
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

struct Page {
    std::map<int, QWidget*> controls;
    QWidget window;
    Page() {
        for (int id : {1166, 1178, 1167}) controls[id] = new QLineEdit(&window);
        for (int id : {1174, 1180}) controls[id] = new QComboBox(&window);
        controls[1164] = new QPushButton("&GET", &window);
        controls[1165] = new QPushButton("&PUT", &window);
        controls[1169] = new QPushButton("Break", &window);
        controls[1175] = new QPushButton("...", &window);
        controls[1168] = new QProgressBar(&window);
        controls[1170] = new QLabel("block #0", &window);
        window.resize(600, 300);
        window.show();
    }
    QWidget* operator()(int id) const { return controls.at(id); }
    QLineEdit* edit(int id) { return static_cast<QLineEdit*>(controls[id]); }
    QComboBox* combo(int id) { return static_cast<QComboBox*>(controls[id]); }
};

class TftpcPane : public ::testing::Test {
protected:
    void SetUp() override { EnsureQtApp(); }
    void TearDown() override { BalloonClose(); }
};

TEST_F(TftpcPane, FieldsAndBalloons) {
    Page page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    EXPECT_EQ(page.combo(1174)->count(), 8);
    EXPECT_EQ(page.combo(1174)->currentText(), "1468");
    EXPECT_EQ(page.combo(1180)->currentText(), "8");
    EXPECT_EQ(page.combo(1180)->itemText(7), "Edit...");
    EXPECT_FALSE(page(1169)->isEnabled());
    EXPECT_TRUE(page(1164)->isEnabled());

    QTemporaryDir dir;
    QString file = dir.filePath("a.bin");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
    f.close();
    struct Row { const char* server; const char* remote; QString local; const char* blk; const char* win; int cmd; const char* text; };
    const Row rows[] = {
        {"", "r", file, "1468", "8", 1164, "Error: \nGET command requires a target TFTP Server"},
        {"h", "", file, "1468", "8", 1164, "Error: \nGET command requires a Remote File"},
        {"h", "r", "", "1468", "8", 1164, "Error: \nGET command requires a valid Local File"},
        {"", "r", file, "1468", "8", 1165, "Error: \nPUT command requires a target TFTP Server"},
        {"h", "r", dir.path(), "1468", "8", 1165, "Error: \nPUT command requires a valid Local File"},
        {"h", "r", dir.filePath("none"), "1468", "8", 1165, "Error: \nPUT command requires a valid Local File"},
        {"h", "r", file, "511", "8", 1165, "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468"},
        {"h", "r", file, "16385", "8", 1165, "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468"},
        {"h", "r", file, "Edit...", "8", 1165, "Error: \nBlocksize should be any number between 512 and 16384\nDefault: 1468"},
        {"h", "r", file, "16384", "65", 1165, "Error: \nWindowsize should be any number between 1 and 64\nDefault: 8"},
        {"h", "r", file, "512", "Edit...", 1165, "Error: \nWindowsize should be any number between 1 and 64\nDefault: 8"},
    };
    for (const Row& r : rows) {
        BalloonClose();
        page.edit(1166)->setText(r.server);
        page.edit(1178)->setText(r.remote);
        page.edit(1167)->setText(r.local);
        page.combo(1174)->setCurrentText(r.blk);
        page.combo(1180)->setCurrentText(r.win);
        pane.OnCommand(r.cmd);
        ASSERT_NE(CurrentBalloon(), nullptr) << r.text;
        EXPECT_EQ(CurrentBalloon()->text(), r.text);
        EXPECT_FALSE(pane.Busy());
    }
}

TEST_F(TftpcPane, BreakEndsTheTransfer) {
    MiniServer server(true);
    Page page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    pane.SetServerPort(server.port);
    QTemporaryDir dir;
    page.edit(1166)->setText("127.0.0.1");
    page.edit(1178)->setText("x.bin");
    page.edit(1167)->setText(dir.filePath("x.bin"));
    QSignalSpy ended(&pane, &TftpClientPane::transferEnded);
    pane.OnCommand(1164);
    ASSERT_TRUE(pane.Busy());
    EXPECT_TRUE(page(1169)->isEnabled());
    EXPECT_FALSE(page(1164)->isEnabled());
    static_cast<QPushButton*>(page(1169))->click();
    ASSERT_TRUE(ended.wait(5000));
    EXPECT_FALSE(ended[0][0].toBool());
    EXPECT_EQ(ended[0][1].toString(), "Transfer canceled by user");
    ASSERT_NE(CurrentBalloon(), nullptr);
    EXPECT_EQ(CurrentBalloon()->title(), "Transfer ERR");
    EXPECT_TRUE(page(1164)->isEnabled());
    EXPECT_FALSE(page(1169)->isEnabled());
}

TEST_F(TftpcPane, BatchUploadEndsWithItsSummary) {
    MiniServer server(false);
    Page page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    pane.SetServerPort(server.port);
    QTemporaryDir dir;
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        QString name = dir.filePath(QString("f%1").arg(i));
        QFile f(name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1000 * (i + 1), 'a'));
        files << name;
    }
    QDir(dir.path()).mkdir("sub");
    files.insert(1, dir.filePath("sub"));  // a folder is skipped
    page.edit(1166)->setText("127.0.0.1");
    page.combo(1174)->setCurrentText("512");
    QSignalSpy ended(&pane, &TftpClientPane::batchEnded);
    pane.StartBatch(files);
    ASSERT_TRUE(ended.wait(20000));
    // 1000, 2000 and 3000 bytes in 512-byte blocks: 2 + 4 + 6 blocks.
    EXPECT_EQ(ended[0][0].toString(), "3 files fully transferred in 12 blocks and 0 retransmission");
    ASSERT_NE(pane.SummaryBox(), nullptr);
    EXPECT_TRUE(pane.SummaryBox()->isVisible());
}

}  // namespace
