// Builds dialogs and their controls from templates and finds the controls
// again by id. Every window of the program is built this way.
#pragma once

#include <QStringList>
#include <QWidget>
#include <span>

#include "dialog_template.h"
#include "dialog_units.h"

class QComboBox;
class QDialog;

/// Builds a control of the program's own kinds (track edit, serial control,
/// icon), which the framework knows by kind only.
using ProgramControlMaker = QWidget* (*)(const ControlTemplate& entry,
                                         QWidget* parent);

/// The control's id: stored as its object name and as the "ctrlId"
/// property, so tests and the data bindings can find it.
void setControlId(QWidget* control, int id);
[[nodiscard]] int controlId(const QWidget* control);

/// The first descendant of `root` with this id, or null.
[[nodiscard]] QWidget* findControl(const QWidget* root, int id);

/// Creates the control a template entry describes, as a child of `parent`,
/// placed and sized in pixels.
QWidget* createControl(const ControlTemplate& entry, QWidget* parent,
                       DialogBaseUnits units,
                       ProgramControlMaker makeProgramControl = nullptr);

/// Creates every control of a template in its order, and makes that order
/// the tab order of the controls that take the focus by Tab.
void createControls(std::span<const ControlTemplate> controls, QWidget* parent,
                    DialogBaseUnits units,
                    ProgramControlMaker makeProgramControl = nullptr);

/// Gives the dialog the template's caption, frame, font and fixed client
/// size, and creates its controls. A click on the OK button accepts the
/// dialog and one on Cancel rejects it.
void buildDialog(QDialog* dialog, const DialogTemplate& dialogTemplate,
                 ProgramControlMaker makeProgramControl = nullptr);

/// Adds items to a combo box built from a template, in their order or, for
/// a sorted one, into the sorted list.
void addComboItems(QComboBox* combo, const QStringList& items);
