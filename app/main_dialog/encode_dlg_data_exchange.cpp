// The main dialog's data bindings, in their fixed order.
#include <QLabel>

#include "data_exchange.h"
#include "encode_dlg.h"
#include "mscomm.h"
#include "resource_ids.h"
#include "track_edit.h"
#include "track_limits.h"

void CEncodeDlg::DoDataExchange(DataExchange& dx) {
  dx.control(ids::kTimeDisplay, m_staticTime);
  dx.control(ids::kCount3, m_staticCount3);
  dx.control(ids::kCount2, m_staticCount2);
  dx.control(ids::kCount1, m_staticCount1);
  dx.control(ids::kTrack3Edit, m_editTrack3);
  dx.control(ids::kTrack2Edit, m_editTrack2);
  dx.control(ids::kStatus2, m_staticStatus2);
  dx.control(ids::kStatus1, m_staticStatus1);
  dx.check(ids::kTrack1Check, m_bTrack1);
  dx.check(ids::kTrack2Check, m_bTrack2);
  dx.check(ids::kTrack3Check, m_bTrack3);
  dx.control(ids::kSerialControl, m_comm);
  dx.latin1Text(ids::kTrack1Edit, m_strTrack1, kTrack1MaxChars);
  dx.latin1Text(ids::kTrack2Edit, m_strTrack2, kTrack2MaxChars);
  dx.latin1Text(ids::kTrack3Edit, m_strTrack3, kTrack3MaxChars);
  dx.check(ids::kAutoInc1Check, m_bAutoInc1);
  dx.check(ids::kAutoInc2Check, m_bAutoInc2);
  dx.check(ids::kAutoInc3Check, m_bAutoInc3);
  dx.check(ids::kFromFile1Check, m_bFromFile1);
  dx.check(ids::kFromFile2Check, m_bFromFile2);
  dx.check(ids::kFromFile3Check, m_bFromFile3);
  dx.integer(ids::kStep1Edit, m_nStep1);
  dx.integer(ids::kStep2Edit, m_nStep2);
  dx.integer(ids::kStep3Edit, m_nStep3);
}

bool CEncodeDlg::UpdateData(bool saveAndValidate) {
  DataExchange dx(this, saveAndValidate,
                  [this](int id) { return GetDlgItem(id); });
  try {
    DoDataExchange(dx);
  } catch (const DataExchangeFailed&) {
    return false;
  }
  return true;
}
