// The client pane's batch upload, for the tests against real servers: the files are dropped
// on the local-file field of an offscreen TFTPC page and the batch question is answered Yes.
//   tftpc_batch HOST PORT REMOTE FILE...
// Prints "QUESTION <text>", then for each file "OK <md5>" or "ERR <text>", then
// "SUMMARY <text>"; exits 0 when every file went through, 1 otherwise.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "_gui/tftp_client_pane.h"
#include "tests/_gui/tftpc_page.h"

int main(int argc, char** argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s HOST PORT REMOTE FILE...\n", argv[0]);
        return 2;
    }
    EnsureQtApp();
    ScriptedBoxes boxes;
    boxes.answer = IDYES;
    TftpcPage page;
    TftpClientPane pane([&](int id) { return page(id); }, &page.window);
    pane.SetServerPort(static_cast<uint16_t>(atoi(argv[2])));
    page.edit(CTL_TFTPC_SERVER)->setText(argv[1]);
    page.edit(CTL_TFTPC_REMOTE_FILE)->setText(argv[3]);
    QStringList files;
    for (int i = 4; i < argc; ++i)
        files << QString::fromLocal8Bit(argv[i]);

    int failed = 0, done = 0;
    QEventLoop loop;
    QObject::connect(&pane, &TftpClientPane::transferEnded, [&](bool ok, const QString& text) {
        ++done;
        const int at = text.lastIndexOf("MD5: ");
        if (ok && at >= 0) {
            printf("OK %s\n", qPrintable(text.mid(at + 5)));
        } else {
            ++failed;
            printf("ERR %s\n", qPrintable(QString(text).replace('\n', ' ')));
        }
        fflush(stdout);
    });
    QObject::connect(&pane, &TftpClientPane::batchEnded, [&](const QString& summary) {
        printf("SUMMARY %s\n", qPrintable(summary));
        loop.quit();
    });
    QTimer::singleShot(300000, &loop, [&] {
        printf("ERR the batch did not end\n");
        ++failed;
        loop.quit();
    });
    if (!DropFilesOn(page(CTL_TFTPC_LOCAL_FILE), files)) {
        printf("ERR the drop was refused\n");
        return 1;
    }
    QTimer::singleShot(0, [&] {
        if (!pane.BatchRunning())
            loop.quit();  // no question, or not answered Yes
    });
    loop.exec();
    for (const auto& box : boxes.boxes)
        if (box.type != MB_OK)
            printf("QUESTION %s\n", box.text.c_str());
    return failed == 0 && done > 0 && done == static_cast<int>(files.size()) ? 0 : 1;
}
