// Where the keyboard focus is: a solid dark outline, never a fill, so it does
// not read as the pale fill the pointer's hover gives.
#pragma once

class QPainter;
class QRect;
class QStyle;

// Draws the outline just inside `area`.
void draw_focus_outline(QPainter& painter, const QRect& area);

// The application's style, with every focus frame drawn as that outline; for
// the standard controls (tick boxes, Stop). Owned by the application object.
QStyle* focus_outline_style();
