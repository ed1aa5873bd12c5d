// The main dialog: the program's whole user interface. It owns every piece
// of state: the serial control, the track texts and options, the data
// files, the operation log and the reply state. Its handlers live in
// several files by concern (encode_dlg_*.cpp).
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QFile>
#include <QIcon>
#include <QString>
#include <optional>

#include "data_file_watch.h"
#include "operation_log_file.h"
#include "read_reply_watch.h"
#include "win_types.h"

class CMSComm;
class CTrackEdit;
class DataExchange;
class QLabel;
class QMenu;
class QMenuBar;
class QTimer;
class QToolBar;

class CEncodeDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CEncodeDlg(QWidget* parent = nullptr);
  ~CEncodeDlg() override;

  /// Builds the window from its template and initialises it (once), then
  /// runs it modally. Returns the dialog's result.
  int DoModal();
  /// Builds the window from its template and runs OnInitDialog, once.
  void Create();

  /// The control with this id, or null.
  [[nodiscard]] QWidget* GetDlgItem(int id) const;
  /// Members into the controls (false), or controls into the members with
  /// validation (true). False when a control failed its check.
  bool UpdateData(bool saveAndValidate = true);

  /// Runs the handler of a menu or toolbar command inside the handler
  /// guard.
  void OnCommand(int commandId);
  /// Runs a window-menu command: minimise, close or the about box.
  void OnSysCommand(int commandId);

  // Port connection.
  void OnSerialPortSetting();
  void OnOpenPort();
  void OnClosePort();
  void OnTogglePort();
  // Card writing.
  void OnWriteCard();
  /// Advances the digit run at the end of `text` (its first `length`
  /// characters) by `step`. False when a negative step would take it below
  /// zero; the text is then unchanged.
  static bool IncrementTrackData(QByteArray& text, int length, int step);
  // Reading, erasing, reset and coercivity.
  void OnReadCard();
  void OnEraseCard();
  void OnReset();
  void OnHighCoercivity();
  void OnLowCoercivity();
  // Track 2 density.
  void OnTrack2Density();
  // Device replies and the seconds display.
  void OnCommEvent();
  void OnTimer(int timerId);
  // Operation log.
  enum class Operation { Read, Write };
  void AppendOperationRecord(Operation kind);
  void SaveToOperatorLog();
  // Ending.
  void OnExit();

  // Track fields and data files.
  /// An operator's edit of track `track`'s field: its counter in "byte".
  void OnTrackTextEdited(int track);
  /// The flag rule of a track's Auto increment and Read From File boxes.
  void OnAutoIncrementClicked(int track);
  void OnReadFromFileClicked(int track);
  /// A track's Open button: a data file chosen, its first line loaded.
  void OnOpenDataFile(int track);
  /// After a confirmed write in file mode: every attached data file gives
  /// its next line, then one write starts; a file at its end ends the
  /// batch.
  void AdvanceDataFiles();
  /// The seconds display's period; 1000 ms, shorter only in tests.
  void SetTimerPeriodMs(int periodMs) { m_timerPeriodMs = periodMs; }
  [[nodiscard]] bool IsTimerRunning() const;

  /// Text added to the caption, e.g. that the encoder is simulated.
  void SetCaptionNote(const QString& note);

  [[nodiscard]] QMenuBar* menuBar() const { return m_menuBar; }
  [[nodiscard]] QMenu* windowMenu() const { return m_windowMenu; }
  /// The area below the menu that holds the toolbar and the controls.
  [[nodiscard]] QWidget* clientArea() const { return m_client; }

  // Members, in declaration order, with their initial values.
  QLabel* m_staticTime = nullptr;    // 1030, the seconds display
  QLabel* m_staticCount3 = nullptr;  // 1016
  QLabel* m_staticCount2 = nullptr;  // 1015
  QLabel* m_staticCount1 = nullptr;  // 1014
  CTrackEdit* m_editTrack3 = nullptr;
  CTrackEdit* m_editTrack2 = nullptr;
  QLabel* m_staticStatus2 = nullptr;  // 1012, write results
  QLabel* m_staticStatus1 = nullptr;  // 1011, read results
  BOOL m_bTrack1 = FALSE;
  BOOL m_bTrack2 = FALSE;
  BOOL m_bTrack3 = FALSE;
  CMSComm* m_comm = nullptr;  // 1010, the serial control
  QByteArray m_strTrack1;     // single-byte texts
  QByteArray m_strTrack2;
  QByteArray m_strTrack3;
  BOOL m_bAutoInc1 = FALSE;
  BOOL m_bAutoInc2 = FALSE;
  BOOL m_bAutoInc3 = FALSE;
  BOOL m_bFromFile1 = FALSE;
  BOOL m_bFromFile2 = FALSE;
  BOOL m_bFromFile3 = FALSE;
  int m_nStep1 = 1;
  int m_nStep2 = 1;
  int m_nStep3 = 1;
  int m_nSeconds = 0;
  QString m_strPortName = QStringLiteral("COM1");
  QToolBar* m_wndToolBar = nullptr;
  FileError m_fileError1;
  QFile m_file1;
  FileError m_fileError2;
  QFile m_file2;
  FileError m_fileError3;
  QFile m_file3;
  QString m_strFile1;
  QString m_strFile2;
  QString m_strFile3;
  QString m_strLogPath;
  OperationLogFile m_logFile;
  FileError m_logFileError;
  int m_nReplyStatus = 0;
  BOOL m_bReading = FALSE;
  BOOL m_bInTrack1 = FALSE;
  BOOL m_bInTrack3 = FALSE;
  BOOL m_bReplyEnded = FALSE;
  BOOL m_bMarkerByte = FALSE;
  int m_nReplyCount = 0;
  BOOL m_bPortOpen = FALSE;
  QByteArray m_strLogRecord;
  QIcon m_hIcon;

 public slots:
  /// OK (Enter) does nothing: the dialog ends only by Exit, Close or
  /// Escape.
  void accept() override;

 protected:
  virtual bool OnInitDialog();
  void DoDataExchange(DataExchange& dx);
  void OnClose(QCloseEvent* event);

  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildFromTemplate();
  void BuildWindowMenu();
  void CreateToolBar();
  void MakeRoomForToolBar();
  void OnPortFailed(const QString& text);
  void ReportLogNotOpened(const FileError& error);
  void ReportLogWriteFailed(int osError);
  /// Puts the records appended so far on storage.
  void FlushOperationLog();
  /// Runs `handler` in the handler guard on every click of control `id`.
  void ConnectButton(int id, void (CEncodeDlg::*handler)());
  void SetTimer(int timerId, int periodMs);
  void KillTimer(int timerId);
  [[nodiscard]] int TrackSelection() const;
  /// Drops whatever the encoder sent before it (no reply to this frame can
  /// have begun yet), then sends the frame. Any write's answer awaited so
  /// far is no longer taken.
  void SendFrame(const QByteArray& frame);
  /// Takes the bytes of a receive event into the write's status answer;
  /// its status byte once the answer has ended within them.
  std::optional<protocol::Byte> TakeWriteAnswer(const QByteArray& input);
  /// Reset, a pause, the coercivity frame and a pause, with the port open.
  void SendCoercivity(const QByteArray& frame);
  void SetStatusLines(const QString& readLine, const QString& writeLine);
  void ShowByteCounts();
  void ActOnReplyStatus();
  void ShowWindowMenu(const QPoint& globalPos);

  // Track fields and data files.
  /// The members and controls of one track (1 to 3).
  struct TrackMembers {
    QByteArray& text;
    BOOL& autoInc;
    BOOL& fromFile;
    QString& path;
    QFile& file;
    FileError& fileError;
    QLabel*& counter;
    int& linesTaken;
    DataFileWatch& watch;
    int autoIncId;
    int fromFileId;
  };
  TrackMembers Track(int track);
  void WireTrackFields();
  void SetCheck(int id, bool checked);
  /// Opens the track's path and loads its first line; on failure the
  /// track is left without a data file and the operator is told why.
  void AttachDataFile(int track);
  void DetachDataFile(int track);
  /// Whether an attached data file changed under the batch other than by
  /// growing at its end. If one did, the batch stops: every data file is
  /// closed and one message names the file, its track and the line whose
  /// card is not written (the line last taken when `lineLoaded`, else the
  /// one after it).
  bool StopBatchIfADataFileChanged(bool lineLoaded);

  bool m_created = false;
  QMenuBar* m_menuBar = nullptr;
  QWidget* m_client = nullptr;
  QMenu* m_windowMenu = nullptr;
  QString m_captionNote;
  /// Lines taken from each track's data file so far, for messages only.
  int m_dataFileLines[3] = {0, 0, 0};
  /// What each track's data file was when the batch noted it.
  DataFileWatch m_dataFileWatch[3];
  QTimer* m_secondsTimer = nullptr;
  int m_timerPeriodMs = 1000;
  bool m_logFailureShown = false;
  /// The read reply under way, against what the encoder can send.
  ReadReplyWatch m_readReply;
  /// The status answer to the write frame last sent, while one may still
  /// come: the protocol's tracker over the bytes received since that frame.
  /// Empty before any write, once its status was taken, and once another
  /// frame went out.
  std::optional<protocol::ReplyTracker> m_writeAnswer;
};
