#pragma once
#include "widgets/Toolkit.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

// Collects what the windows would show in message boxes, instead of showing them.
struct MessageRecorder {
    struct Shown {
        QString text;
        QString caption;
    };
    QList<Shown> shown;

    MessageRecorder()
    {
        SetMessageHook([this](QWidget *, const QString &text, const QString &caption) {
            shown.append({text, caption});
        });
    }
    ~MessageRecorder() { SetMessageHook({}); }

    QStringList texts() const
    {
        QStringList out;
        for (const auto &s : shown)
            out << s.text;
        return out;
    }
    // Every box as (caption, text), to compare them all at once.
    QList<std::pair<QString, QString>> boxes() const
    {
        QList<std::pair<QString, QString>> out;
        for (const auto &s : shown)
            out.append({s.caption, s.text});
        return out;
    }
};
