#pragma once

class QFont;
class QRect;

// Converts dialog units to pixels for one font. Four horizontal units are the font's average
// character width (the advance of the 52 Latin letters divided by 52, rounded), eight vertical
// units its height. Each number is converted on its own, rounding to the nearest pixel.
class CDialogUnits
{
public:
    explicit CDialogUnits(const QFont &font);

    int X(int dlu) const { return MulDiv(dlu, m_nBaseX, 4); }
    int Y(int dlu) const { return MulDiv(dlu, m_nBaseY, 8); }
    QRect Rect(int x, int y, int cx, int cy) const;

private:
    // v * num / den rounded half away from zero; dialog units are never negative here.
    static int MulDiv(int v, int num, int den) { return (v * num + den / 2) / den; }

    int m_nBaseX = 0;
    int m_nBaseY = 0;
};
