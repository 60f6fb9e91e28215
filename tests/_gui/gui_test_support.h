// Shared pieces of the desktop tests: recorded message boxes.
#pragma once
#include <QCoreApplication>
#include <string>
#include <vector>

#include "_gui/box_broker.h"
#include "tests/_gui/qt_app.h"

// Records every box instead of showing it; question boxes get their default button.
struct BoxRecorder {
    std::vector<std::string> texts;
    BoxRecorder()
    {
        EnsureQtApp();
        SetBoxHook([this](QWidget*, const std::string& text, const std::string&, unsigned type) {
            texts.push_back(text);
            return DefaultBoxButton(type);
        });
        StartBoxBroker();
    }
    ~BoxRecorder()
    {
        StopBoxBroker();
        SetBoxHook(nullptr);
    }
    bool Saw(const std::string& text) const
    {
        for (const auto& t : texts)
            if (t == text)
                return true;
        return false;
    }
};
