#include "DialogUnits.h"

#include <QFont>
#include <QFontMetrics>
#include <QRect>
#include <QString>

CDialogUnits::CDialogUnits(const QFont &font)
{
    const QFontMetrics fm(font);
    const int cx = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_nBaseX = (cx + 26) / 52;
    m_nBaseY = fm.height();
}

QRect CDialogUnits::Rect(int x, int y, int cx, int cy) const { return {X(x), Y(y), X(cx), Y(cy)}; }
