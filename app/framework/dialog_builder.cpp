#include "dialog_builder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <algorithm>
#include <stdexcept>

#include "group_frame.h"
#include "multi_line_edit.h"

namespace {

const char kIdProperty[] = "ctrlId";
const char kSortedProperty[] = "sortedList";

QLabel* makeLabel(const QString& text, Qt::Alignment alignment,
                  QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(alignment | Qt::AlignTop);
  label->setWordWrap(true);  // static texts wrap at their right edge
  label->setAutoFillBackground(true);
  return label;
}

QPushButton* makeButton(const QString& text, QWidget* parent) {
  auto* button = new QPushButton(text, parent);
  button->setFocusPolicy(Qt::StrongFocus);
  return button;
}

// Typed text stays text: Enter must not add it to the list.
QComboBox* makeDropDownCombo(bool sorted, QWidget* parent) {
  auto* combo = new QComboBox(parent);
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  combo->setProperty(kSortedProperty, sorted);
  return combo;
}

QWidget* makeWidget(const ControlTemplate& entry, QWidget* parent,
                    ProgramControlMaker makeProgramControl) {
  const QString text = QString::fromUtf8(entry.text);
  switch (entry.kind) {
    case ControlKind::GroupBox: {
      auto* box = new GroupFrame(text, parent);
      box->setFocusPolicy(Qt::NoFocus);
      return box;
    }
    case ControlKind::CaptionedGroupBox: return new QGroupBox(text, parent);
    case ControlKind::CheckBox: {
      // Opaque, since the track boxes sit on a group box's edge.
      auto* box = new QCheckBox(text, parent);
      box->setFocusPolicy(Qt::StrongFocus);
      box->setAutoFillBackground(true);
      return box;
    }
    case ControlKind::RadioButton: {
      // Not a tab stop: reached by clicking only.
      auto* radio = new QRadioButton(text, parent);
      radio->setFocusPolicy(Qt::ClickFocus);
      radio->setAutoExclusive(true);
      radio->setAutoFillBackground(true);
      return radio;
    }
    case ControlKind::TabStopRadioButton:
      return new QRadioButton(text, parent);  // automatic, a tab stop
    case ControlKind::MultiLineEdit: return new MultiLineEdit(parent);
    case ControlKind::NumberEdit: return new QLineEdit(parent);
    case ControlKind::DropDownCombo: return makeDropDownCombo(false, parent);
    case ControlKind::SortedDropDownCombo:
      return makeDropDownCombo(true, parent);
    case ControlKind::StaticLeft: return makeLabel(text, Qt::AlignLeft, parent);
    case ControlKind::StaticCentered:
      return makeLabel(text, Qt::AlignHCenter, parent);
    case ControlKind::Label: return new QLabel(text, parent);
    // The program's own controls: the layers above build them.
    case ControlKind::TrackEdit:
    case ControlKind::SerialControl:
    case ControlKind::Icon:
      if (makeProgramControl == nullptr) {
        throw std::logic_error("no maker for the program's own controls");
      }
      return makeProgramControl(entry, parent);
    case ControlKind::PushButton: {
      // Enter clicks a push button only while it has the focus; the
      // dialog decides that, so no button is a default one.
      auto* button = makeButton(text, parent);
      button->setAutoDefault(false);
      return button;
    }
    case ControlKind::DefaultButton: {
      auto* button = makeButton(text, parent);
      button->setDefault(true);
      return button;
    }
    case ControlKind::AutoDefaultButton: return makeButton(text, parent);
  }
  return nullptr;
}

// Pixels for the template's place. An icon keeps its own size; a combo box
// keeps its closed height and drops down as far as the template's height.
void place(QWidget* control, const ControlTemplate& entry,
           DialogBaseUnits units) {
  const QRect area = dluToPixels(units, entry.dlu);
  if (auto* icon = qobject_cast<QLabel*>(control);
      icon != nullptr && entry.kind == ControlKind::Icon) {
    control->setGeometry(QRect(area.topLeft(), icon->pixmap().size()));
  } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
    const int closedHeight = combo->sizeHint().height();
    combo->setGeometry(area.x(), area.y(), area.width(), closedHeight);
    const int itemHeight = std::max(1, combo->fontMetrics().height());
    combo->setMaxVisibleItems(
        std::max(1, (area.height() - closedHeight) / itemHeight));
  } else {
    control->setGeometry(area);
  }
}

}  // namespace

void setControlId(QWidget* control, int id) {
  control->setObjectName(QString::number(id));
  control->setProperty(kIdProperty, id);
}

int controlId(const QWidget* control) {
  const QVariant id = control->property(kIdProperty);
  return id.isValid() ? id.toInt() : kNoControlId;
}

QWidget* findControl(const QWidget* root, int id) {
  if (id == kNoControlId) return nullptr;
  return root->findChild<QWidget*>(QString::number(id));
}

QWidget* createControl(const ControlTemplate& entry, QWidget* parent,
                       DialogBaseUnits units,
                       ProgramControlMaker makeProgramControl) {
  QWidget* control = makeWidget(entry, parent, makeProgramControl);
  if (entry.id != kNoControlId) setControlId(control, entry.id);
  place(control, entry, units);
  return control;
}

void createControls(std::span<const ControlTemplate> controls, QWidget* parent,
                    DialogBaseUnits units,
                    ProgramControlMaker makeProgramControl) {
  QWidget* previousTabStop = nullptr;
  for (const ControlTemplate& entry : controls) {
    QWidget* control = createControl(entry, parent, units, makeProgramControl);
    if ((control->focusPolicy() & Qt::TabFocus) != 0 && !control->isHidden()) {
      if (previousTabStop != nullptr) {
        QWidget::setTabOrder(previousTabStop, control);
      }
      previousTabStop = control;
    }
  }
}

void buildDialog(QDialog* dialog, const DialogTemplate& dialogTemplate,
                 ProgramControlMaker makeProgramControl) {
  dialog->setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
  dialog->setWindowFlags(dialogTemplate.flags);
  dialog->setFont(dialogTemplate.font());
  const DialogBaseUnits units = dialogBaseUnits(dialog->font());
  dialog->setFixedSize(
      dluToPixels(units, QRect(QPoint(0, 0), dialogTemplate.sizeDlu)).size());
  createControls(dialogTemplate.controls, dialog, units, makeProgramControl);
  if (auto* ok = qobject_cast<QAbstractButton*>(findControl(dialog, kIdOk))) {
    QObject::connect(ok, &QAbstractButton::clicked, dialog, &QDialog::accept);
  }
  if (auto* cancel =
          qobject_cast<QAbstractButton*>(findControl(dialog, kIdCancel))) {
    QObject::connect(cancel, &QAbstractButton::clicked, dialog,
                     &QDialog::reject);
  }
}

void addComboItems(QComboBox* combo, const QStringList& items) {
  combo->addItems(items);
  if (combo->property(kSortedProperty).toBool()) combo->model()->sort(0);
}
