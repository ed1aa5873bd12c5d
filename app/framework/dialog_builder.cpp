#include "dialog_builder.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "group_frame.h"
#include "mscomm.h"
#include "multi_line_edit.h"
#include "track_edit.h"

namespace {

const char kIdProperty[] = "ctrlId";

QLabel* makeLabel(const QString& text, Qt::Alignment alignment,
                  QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(alignment | Qt::AlignTop);
  label->setWordWrap(true);  // static texts wrap at their right edge
  label->setAutoFillBackground(true);
  return label;
}

QWidget* makeWidget(const ControlTemplate& entry, QWidget* parent) {
  const QString text = QString::fromUtf8(entry.text);
  switch (entry.kind) {
    case ControlKind::GroupBox: {
      auto* box = new GroupFrame(text, parent);
      box->setFocusPolicy(Qt::NoFocus);
      return box;
    }
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
    case ControlKind::MultiLineEdit: return new MultiLineEdit(parent);
    case ControlKind::TrackEdit: return new CTrackEdit(parent);
    case ControlKind::NumberEdit: return new QLineEdit(parent);
    case ControlKind::SerialControl: {
      auto* comm = new CMSComm(parent);
      comm->hide();  // a control without a face at run time
      return comm;
    }
    case ControlKind::StaticLeft: return makeLabel(text, Qt::AlignLeft, parent);
    case ControlKind::StaticCentered:
      return makeLabel(text, Qt::AlignHCenter, parent);
    case ControlKind::PushButton: {
      // Enter clicks a push button only while it has the focus; the
      // dialog decides that, so no button is a default one.
      auto* button = new QPushButton(text, parent);
      button->setAutoDefault(false);
      button->setFocusPolicy(Qt::StrongFocus);
      return button;
    }
  }
  return nullptr;
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
                       DialogBaseUnits units) {
  QWidget* control = makeWidget(entry, parent);
  if (entry.id != kNoControlId) setControlId(control, entry.id);
  control->setGeometry(dluToPixels(units, entry.dlu));
  return control;
}
