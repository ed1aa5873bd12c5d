// Builds dialog controls from template entries and finds them again by id.
#pragma once

#include <QWidget>

#include "dialog_units.h"
#include "main_dialog_template.h"

/// The control's id: stored as its object name and as the "ctrlId"
/// property, so tests and the data bindings can find it.
void setControlId(QWidget* control, int id);
[[nodiscard]] int controlId(const QWidget* control);

/// The first descendant of `root` with this id, or null.
[[nodiscard]] QWidget* findControl(const QWidget* root, int id);

/// Creates the control a template entry describes, as a child of `parent`,
/// placed and sized in pixels.
QWidget* createControl(const ControlTemplate& entry, QWidget* parent,
                       DialogBaseUnits units);
