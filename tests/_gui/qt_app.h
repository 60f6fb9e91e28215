// The QApplication of a test process: offscreen, with a private runtime folder.
#pragma once
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>

inline QApplication* EnsureQtApp()
{
    static QApplication* app = nullptr;
    if (!app) {
        static QTemporaryDir runtime;
        QDir(runtime.path()).mkpath(".");
        QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "nimbo_test";
        static char* argv[] = {name, nullptr};
        app = new QApplication(argc, argv);
    }
    return app;
}
