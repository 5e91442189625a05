#pragma once

// What each control of the main window says when the pointer rests on it:
// what it means, an example, and the option of the batch program that does
// the same. A box shows the start of its text whenever it has no focus, so
// that a number too long for the box stays readable; the whole text then
// heads its tooltip.

#include <QString>

class QWidget;

namespace korvan {

// Gives the window's controls, found by their object names, their tooltips
// and keeps their boxes showing their start. Once, after they are built.
void AddToolTips(QWidget& window);

// The tooltip a control shows now: the whole text of a box too narrow for
// it, a note the window set for the file format chosen (its toolTip()), and
// the control's own explanation. Empty for a control that has none.
QString ToolTipText(const QWidget& control);

}  // namespace korvan
