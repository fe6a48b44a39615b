#pragma once
#include <cstddef>
#include <mutex>
#include <string>

// Log text on its way from the capture worker to the log view. The worker hands text over
// without waiting and the UI thread takes it in batches.
//
// The queue applies the log view's emptying rule as each text arrives: before an append, a view
// that holds more than kLimit bytes is emptied (exactly kLimit is kept). It follows the byte
// count that the view will have once everything queued is drawn, so it knows at once when an
// append empties the view; everything before that point is dropped, never drawn. A batch is
// therefore "empty the view or not, then append this text", and drawing it gives the text that
// appending one text at a time would give. What waits here never exceeds kLimit bytes plus the
// last text, however slow the UI thread is.
class CLogQueue
{
public:
    static constexpr size_t kLimit = 61440;

    struct CBatch
    {
        bool bClear = false; // empty the view first
        std::string text;    // then append this, UTF-8, line ends as the worker wrote them
    };

    // Queues text (any thread). True when the queue had nothing waiting for the UI thread, so
    // that the caller asks it once to take the batch.
    bool Push(const std::string &text);
    // Takes everything queued (UI thread).
    CBatch Take();
    // The view's text was changed by other means and now counts viewBytes bytes; text still
    // queued will follow it (UI thread).
    void ViewChanged(size_t viewBytes);

private:
    std::mutex m_mutex;
    std::string m_strText;
    bool m_bClear = false;
    bool m_bWaiting = false; // the UI thread has been asked to take a batch and has not yet
    size_t m_nViewBytes = 0; // what the view will count once everything queued is drawn
};
