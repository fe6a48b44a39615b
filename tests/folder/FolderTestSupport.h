#pragma once
#include "MessageBox.h"

#include "TempDir.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QString>

#include <filesystem>
#include <fstream>

// Records every message box instead of showing it, and answers with m_nAnswer.
class CMessageRecorder
{
public:
    struct Box
    {
        QString text;
        QString caption;
        QMessageBox::StandardButtons buttons;
    };

    CMessageRecorder()
    {
        m_previous = Platform::SetMessageBoxHandler([this](QWidget *, const QString &text,
                                                           const QString &caption,
                                                           QMessageBox::StandardButtons buttons) {
            m_boxes.append({text, caption, buttons});
            return m_nAnswer;
        });
    }
    ~CMessageRecorder() { Platform::SetMessageBoxHandler(std::move(m_previous)); }
    CMessageRecorder(const CMessageRecorder &) = delete;
    CMessageRecorder &operator=(const CMessageRecorder &) = delete;

    QList<Box> m_boxes;
    int m_nAnswer = QMessageBox::Ok;

private:
    Platform::MessageBoxHandler m_previous;
};

// Points HOME at a fresh folder for the life of the object, so that the desktop folder is
// <home>/Desktop, and creates that folder.
class CTestHome
{
public:
    CTestHome()
    {
        m_savedHome = qgetenv("HOME");
        m_savedConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("HOME", QByteArray::fromStdString(m_home.Path()));
        qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(m_home.Path() + ".config"));
        std::error_code ec;
        std::filesystem::create_directory(Desktop().toStdString(), ec);
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
    CTempDir m_home;
    QByteArray m_savedHome;
    QByteArray m_savedConfig;
};

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
