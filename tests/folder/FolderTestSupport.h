#pragma once
// What the folder chooser and main window tests share: a stand-in for any of the program's
// replaceable functions, recorded message boxes, HOME in a temporary folder.
#include "ControlIds.h"
#include "MessageBox.h"

#include "TempDir.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>
#include <sys/stat.h>

// One of the program's texts (UTF-8) as Qt shows it.
inline QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

// The objectName of the widget of control number id (ControlIds.h).
inline QString Id(int id) { return QString::fromStdString(ControlName(id)); }

// The permission bits and the owner of the entry at path, as "700 0".
inline QString ModeAndOwner(const QString &path)
{
    struct stat st = {};
    ::stat(QFile::encodeName(path), &st);
    return QString("%1 %2").arg(st.st_mode & 07777, 0, 8).arg(st.st_uid);
}

// Puts handler in place of one of the program's replaceable functions (set returns what was
// there before) until the guard returned goes.
template <class H> std::shared_ptr<void> Hook(H (*set)(H), std::type_identity_t<H> handler)
{
    return {nullptr, [set, previous = set(handler)](void *) { set(previous); }};
}

// A UI test's ground: HOME (with an empty Desktop folder) and a working folder of its own, and
// message boxes answered m_nAnswer instead of being shown, recorded as "caption|text" with '@'
// for the working folder and '%' for the program's name.
struct CUiGround
{
    CUiGround()
    {
        qputenv("HOME", m_home.Path().c_str());
        QDir().mkpath(Home() + "Desktop");
    }
    QString Home() const { return QString::fromStdString(m_home.Path()); }
    QString Dir() const { return QString::fromStdString(m_tmp.Path()); }

    CTempDir m_home, m_tmp;
    QStringList m_boxes;
    int m_nAnswer = QMessageBox::Yes;
    std::shared_ptr<void> m_hook =
        Hook(Platform::SetMessageBoxHandler, [this](QWidget *, auto &text, auto &caption, auto) {
            m_boxes.append(
                QString(caption + '|' + text).replace(Dir(), "@").replace(qAppName(), "%"));
            return m_nAnswer;
        });
};
