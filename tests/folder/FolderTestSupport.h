#pragma once
// What the platform, folder chooser and main window tests share: a stand-in for any of the
// program's replaceable functions, recorded message boxes, HOME in a temporary folder, and
// files made on the spot.
#include "MessageBox.h"

#include "TempDir.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <type_traits>
#include <utility>

// One of the program's texts (UTF-8) as Qt shows it.
inline QString Text(const char *utf8) { return QString::fromUtf8(utf8); }

inline void MakeDirs(const QString &path)
{
    std::error_code ec;
    std::filesystem::create_directories(path.toStdString(), ec);
}

inline void MakeFile(const QString &path) { std::ofstream(path.toStdString()) << "x"; }

inline bool Exists(const QString &path)
{
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path.toStdString(), ec));
}

// Puts handler in place of one of the program's replaceable functions (set returns what was
// there before) for the life of the object.
template <class H> class CHook
{
public:
    CHook(H (*set)(H), std::type_identity_t<H> handler)
        : m_set(set), m_previous(set(std::move(handler)))
    {
    }
    ~CHook() { m_set(std::move(m_previous)); }
    CHook(const CHook &) = delete;
    CHook &operator=(const CHook &) = delete;

private:
    H (*m_set)(H);
    H m_previous;
};

// Records every message box as "caption|text" instead of showing it, and answers m_nAnswer.
struct CMessageRecorder
{
    QStringList m_boxes;
    QList<QMessageBox::StandardButtons> m_buttons;
    int m_nAnswer = QMessageBox::Ok;
    CHook<Platform::MessageBoxHandler> m_hook{Platform::SetMessageBoxHandler,
                                              [this](QWidget *, const QString &text,
                                                     const QString &caption,
                                                     QMessageBox::StandardButtons buttons) {
                                                  m_boxes.append(caption + '|' + text);
                                                  m_buttons.append(buttons);
                                                  return m_nAnswer;
                                              }};
};

// Points HOME at a fresh folder for the life of the object, so that the desktop folder is
// <home>/Desktop; creates that folder when asked to.
class CTestHome
{
public:
    explicit CTestHome(bool bMakeDesktop = true)
    {
        qputenv("HOME", QByteArray::fromStdString(m_home.Path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_home.Path() + ".config"));
        if (bMakeDesktop)
            MakeDirs(Desktop());
    }
    ~CTestHome()
    {
        qputenv("HOME", m_savedHome);
        qputenv("XDG_CONFIG_HOME", m_savedConfig);
    }
    CTestHome(const CTestHome &) = delete;
    CTestHome &operator=(const CTestHome &) = delete;

    // The home and desktop folders, ending with '/'.
    QString Home() const { return QString::fromStdString(m_home.Path()); }
    QString Desktop() const { return Home() + "Desktop/"; }

private:
    QByteArray m_savedHome = qgetenv("HOME");
    QByteArray m_savedConfig = qgetenv("XDG_CONFIG_HOME");
    CTempDir m_home;
};

// A UI test's ground: HOME and a working folder of its own, and no real message box.
struct CUiGround
{
    CTestHome m_home;
    CTempDir m_tmp;
    CMessageRecorder m_boxes;
    QString Dir() const { return QString::fromStdString(m_tmp.Path()); }
};

// The open in-place editor of view, or nullptr.
inline QLineEdit *Editor(const QTreeWidget &view)
{
    return view.viewport()->findChild<QLineEdit *>();
}

// The editor commits its text in a posted call, and a folder tree posts its reselection or
// error message from there: two rounds of posted events, and one to spare.
inline void DeliverPosted()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

// Edits the label of item in place to text and presses Return, as the user does.
inline void EditLabel(QTreeWidget &tree, QTreeWidgetItem *item, const QString &text)
{
    tree.editItem(item, 0);
    QLineEdit *editor = Editor(tree);
    QVERIFY(editor);
    editor->setText(text);
    QTest::keyClick(editor, Qt::Key_Return);
    DeliverPosted();
}
