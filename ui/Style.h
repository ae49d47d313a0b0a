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

// The style sheet for buttons, panels, check boxes, radio buttons, group boxes, tab
// strips, labels, edits and grids.
QString BrushedSteelStyleSheet();

// Gives a top-level window the font, colours and style sheet above. Call it once the
// children exist: under a style sheet, fonts set on the window no longer reach
// widgets created later below the first level.
void ApplyBrushedSteel(QWidget& window);
