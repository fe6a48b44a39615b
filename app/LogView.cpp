#include "LogView.h"

#include "LogQueue.h"

#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QTextDocument>

namespace {

// The view's text counted as the log writes it: UTF-8, every line break as CR LF.
size_t ViewBytes(const QPlainTextEdit *edit)
{
    const QString text = edit->toPlainText();
    return size_t(text.toUtf8().size()) + size_t(text.count(u'\n'));
}

} // namespace

CLogView::CLogView(QPlainTextEdit *edit, CLogQueue &queue, QObject *parent)
    : QObject(parent), m_pEdit(edit), m_queue(queue)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kDrainDelayMs);
    connect(&m_timer, &QTimer::timeout, this, &CLogView::Drain);
    connect(m_pEdit->document(), &QTextDocument::contentsChanged, this, &CLogView::OnEdited);
}

void CLogView::Schedule()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void CLogView::Drain()
{
    const CLogQueue::CBatch batch = m_queue.Take();
    m_timer.setInterval(batch.bClear || batch.text.size() > kBusyBytes ? kBusyDelayMs
                                                                       : kDrainDelayMs);
    if (!batch.bClear && batch.text.empty())
        return;
    const QScopedValueRollback writing(m_bWriting, true);
    if (batch.bClear)
        m_pEdit->clear();
    // The text always lands at the end, wherever the user left the caret.
    m_pEdit->moveCursor(QTextCursor::End);
    // The document makes one line break of each "\r\n" (and of a lone CR), so every log line
    // shows as one line; the byte count follows the text as it was appended.
    m_pEdit->insertPlainText(QString::fromUtf8(batch.text));
    m_pEdit->ensureCursorVisible();
}

void CLogView::Clear()
{
    {
        const QScopedValueRollback writing(m_bWriting, true);
        m_pEdit->clear();
    }
    m_queue.ViewChanged(0);
}

void CLogView::OnEdited()
{
    if (!m_bWriting)
        m_queue.ViewChanged(ViewBytes(m_pEdit));
}
