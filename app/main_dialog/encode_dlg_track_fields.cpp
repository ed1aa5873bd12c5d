// The three track fields' surroundings: the byte counters, the Auto
// increment and Read From File boxes, and the wiring of the fields, boxes
// and Open buttons to their handlers.
#include <QAbstractButton>
#include <QLabel>

#include "encode_dlg.h"
#include "handler_guard.h"
#include "multi_line_edit.h"
#include "resource_ids.h"

namespace {

struct TrackControlIds {
  int edit;
  int autoInc;
  int fromFile;
  int open;
};

constexpr TrackControlIds kTrackIds[3] = {
    {ids::kTrack1Edit, ids::kAutoInc1Check, ids::kFromFile1Check,
     ids::kOpenFile1Button},
    {ids::kTrack2Edit, ids::kAutoInc2Check, ids::kFromFile2Check,
     ids::kOpenFile2Button},
    {ids::kTrack3Edit, ids::kAutoInc3Check, ids::kFromFile3Check,
     ids::kOpenFile3Button},
};

}  // namespace

CEncodeDlg::TrackMembers CEncodeDlg::Track(int track) {
  const TrackControlIds& id = kTrackIds[track - 1];
  switch (track) {
    case 1:
      return {m_strTrack1,
              m_bAutoInc1,
              m_bFromFile1,
              m_strFile1,
              m_file1,
              m_fileError1,
              m_staticCount1,
              m_dataFileLines[0],
              m_dataFileWatch[0],
              id.autoInc,
              id.fromFile};
    case 2:
      return {m_strTrack2,
              m_bAutoInc2,
              m_bFromFile2,
              m_strFile2,
              m_file2,
              m_fileError2,
              m_staticCount2,
              m_dataFileLines[1],
              m_dataFileWatch[1],
              id.autoInc,
              id.fromFile};
    default:
      return {m_strTrack3,
              m_bAutoInc3,
              m_bFromFile3,
              m_strFile3,
              m_file3,
              m_fileError3,
              m_staticCount3,
              m_dataFileLines[2],
              m_dataFileWatch[2],
              id.autoInc,
              id.fromFile};
  }
}

void CEncodeDlg::WireTrackFields() {
  for (int track = 1; track <= 3; ++track) {
    const TrackControlIds& id = kTrackIds[track - 1];
    // Only the operator's edits reach the counter handler; text the
    // program puts into a field sets the counter where it is put.
    if (auto* edit = qobject_cast<MultiLineEdit*>(GetDlgItem(id.edit))) {
      connect(edit, &MultiLineEdit::operatorEdited, this, [this, track] {
        runGuarded(this, [this, track] { OnTrackTextEdited(track); });
      });
    }
    const auto onClick = [this](int controlId, auto handler) {
      if (auto* button =
              qobject_cast<QAbstractButton*>(GetDlgItem(controlId))) {
        connect(button, &QAbstractButton::clicked, this,
                [this, handler] { runGuarded(this, handler); });
      }
    };
    onClick(id.autoInc, [this, track] { OnAutoIncrementClicked(track); });
    onClick(id.fromFile, [this, track] { OnReadFromFileClicked(track); });
    onClick(id.open, [this, track] { OnOpenDataFile(track); });
  }
}

void CEncodeDlg::OnTrackTextEdited(int track) {
  auto* edit =
      qobject_cast<MultiLineEdit*>(GetDlgItem(kTrackIds[track - 1].edit));
  QLabel* counter = Track(track).counter;
  if (edit == nullptr || counter == nullptr) return;
  // "byte" whatever the count, unlike the program's own "bytes".
  counter->setText(QStringLiteral("%1 byte").arg(edit->windowTextLength()));
}

void CEncodeDlg::SetCheck(int id, bool checked) {
  if (auto* button = qobject_cast<QAbstractButton*>(GetDlgItem(id))) {
    button->setChecked(checked);
  }
}

// The box has already toggled its own check mark; the handler toggles the
// member itself, without reading the box, and clears the marks the rule
// says. Nothing is enabled or disabled, and no data file is detached.
void CEncodeDlg::OnAutoIncrementClicked(int track) {
  TrackMembers t = Track(track);
  t.fromFile = FALSE;
  if (t.autoInc == FALSE) {
    t.autoInc = TRUE;
    SetCheck(t.fromFileId, false);
  } else {
    t.autoInc = FALSE;
    SetCheck(t.autoIncId, false);
    SetCheck(t.fromFileId, false);
  }
}

void CEncodeDlg::OnReadFromFileClicked(int track) {
  TrackMembers t = Track(track);
  t.autoInc = FALSE;
  if (t.fromFile == FALSE) {
    t.fromFile = TRUE;
    SetCheck(t.autoIncId, false);
  } else {
    t.fromFile = FALSE;
    SetCheck(t.autoIncId, false);
    SetCheck(t.fromFileId, false);
  }
}
