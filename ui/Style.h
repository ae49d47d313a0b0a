#pragma once
// The program's one look: brushed-steel flat controls on the dark blue window colour
// (0x804000 in the definition colour order, #004080 on screen), white text, Verdana.

#include <QColor>
#include <QFont>
#include <QString>

class QWidget;

inline const QColor kWindowColor(0x00, 0x40, 0x80);

// Verdana at `pixelSize` where installed, DejaVu Sans otherwise. Sizes are
// device-independent pixels.
QFont WindowFont(int pixelSize = 11);

// The style sheet for buttons, panels, check box and radio button texts, group boxes,
// tab strips, scroll bars, labels, edits and grids. The boxes and dots of check boxes
// and radio buttons are drawn by the program's style, which the first window installs.
QString BrushedSteelStyleSheet();

// Gives a top-level window the font, colours and style sheet above, and a borderless
// one its one-pixel edge; the first call also makes the skin's style and font the
// application's. Call it once the children exist: under a style sheet, fonts set on
// the window no longer reach widgets created later below the first level.
void ApplyBrushedSteel(QWidget& window);
