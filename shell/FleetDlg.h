// CFleetDlg: the "Several devices" window, opened from the main window's
// popup menu. One image, prepared once as the main window prepares it (the
// file chooser, the Base Address dialog, Compress, the version box), goes to
// every device of a list, typed or read from a hosts file or an inventory:
// one confirmation naming the number of devices, then the fleet engine
// drives them, at most "Devices at once" at a time, each with its retries
// and time-out; no device shows a box of its own. The table shows each
// device's phase, progress, rate and outcome, a total line runs under it and
// the summary by cause ends it; every device's end goes into the record of
// runs. Stop asks once; every device then stops after its block in flight.
//
// With "Repeat for every new device" the list is a production station:
// each address is a slot that writes every new unit that answers there,
// once (StationEngine); a tile per slot shows PASS or FAIL large enough to be
// read from a distance, with the slot's counts and the unit's MAC address.
// In the manual mode (the default) the slots write their next units only
// once the operator pressed Start (or Space); "Automatic" writes each unit
// as it comes.
//
// Object names: "fleet_image", "fleet_image_line", "fleet_compress",
// "fleet_address", "fleet_add", "fleet_list", "fleet_clear", "fleet_jobs",
// "fleet_retries", "fleet_timeout", "fleet_repeat", "fleet_automatic",
// "fleet_gone", "fleet_record", "fleet_record_window", "fleet_tiles",
// "fleet_table", "fleet_total", "fleet_start", "fleet_stop", "fleet_close".
#pragma once

#include "operations/DownloadJob.h"
#include "operations/FleetEngine.h"
#include "operations/ProgressMeter.h"
#include "operations/RunRecord.h"
#include "operations/StationEngine.h"
#include "resources/LogPane.h"
#include "shell/DownloadOperations.h"
#include "shell/FleetTable.h"
#include "shell/QtFleetHost.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTableView;
class QTimer;

namespace mervix {

class SettingsStore;

class CFleetDlg : public QDialog, public OperationsOperator, private FleetObserver, private StationObserver {
 public:
  explicit CFleetDlg(SettingsStore& settings, QWidget* parent = nullptr);
  ~CFleetDlg() override;

  // The preparation's operator: boxes over this window, the chooser, the
  // Base Address dialog; the run indicator is the Image and Start buttons.
  Answer ShowMessageBox(const std::string& text, ButtonSet buttons) override;
  Answer ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) override;
  void SetDownloadEnabled(bool enabled) override;
  bool ReadControls(ControlValues& values) override;
  std::optional<std::string> ChooseFileToOpen() override;
  std::optional<std::string> AskBaseAddress(const std::string& preset) override;

  // The Image button: prepares the image; true when one is ready.
  bool OnImage();
  // Adds the typed device ("host", "host:port", "[IPv6]:port"); a box says
  // why not. True when it was added.
  bool AddTypedDevice(const std::string& text);
  // Adds every device of a hosts file or (".csv") an inventory; nothing of
  // a list with a bad line. True when they were added.
  bool AddDevicesFromFile(const std::string& path);
  void OnOpenList();
  void OnClear();
  // Start: prepares the image if there is none, asks once and starts the
  // devices (or the station). While a manual station runs: arms every slot
  // for its next unit.
  void OnStart();
  // Stop: asks once; the devices stop after their block in flight (the
  // station's units being written finish).
  void OnStop();
  // The log of device (or slot) |index| in a window of its own.
  void ShowDeviceLog(std::size_t index);

  // Devices run, or the station does.
  bool Running() const;
  std::size_t Devices() const { return devices_.size(); }
  const FleetDevice& Device(std::size_t index) const { return devices_[index]; }
  const FleetTableModel& Table() const { return *model_; }
  const std::string& DeviceLog(std::size_t index) const { return logs_[index]; }
  std::string TotalText() const;
  const FleetEngine* Fleet() const { return fleet_.get(); }
  const StationEngine* Station() const { return station_.get(); }
  StationTile* Tile(std::size_t index) const { return index < tiles_.size() ? tiles_[index] : nullptr; }
  const PreparedImage* Image() const { return image_ ? &*image_ : nullptr; }

  // Tests: a shorter pause after the mode switch, and shorter response
  // limits and probe interval.
  void SetModeSwitchPauseMs(int milliseconds) { pauseMs_ = milliseconds; }
  void SetResponseLimits(int replyMs, int blockAckMs) { limits_ = {replyMs, blockAckMs}; }
  void SetProbeIntervalMs(int milliseconds) { probeIntervalMs_ = milliseconds; }

 protected:
  // Closing while devices run asks the Stop question; the window goes once
  // they have ended. A closed window keeps its list and results, not the
  // image: its file is let go.
  void reject() override;

 private:
  void BuildControls();
  // False, nothing added, when one of them is in the list already.
  bool AddDevices(std::vector<FleetDevice> devices, std::vector<std::vector<std::pair<std::string, std::string>>> fields,
                  const std::vector<std::string>& pins);
  void ResetRows();
  void StartFleet();
  void StartStation();
  void Began();
  void Ended();
  void SetInputsEnabled(bool enabled);
  // Closes the window, letting go of the image.
  void CloseAndLetGo();
  void Refresh();
  void RefreshTile(std::size_t index);
  // The progress of device (or slot) |index| in its meter and row: percent
  // and rate; the row, for the caller's phase.
  FleetRow& ShowProgress(std::size_t index, const Progress& progress);
  void ShowSummary();
  void ModeChanged();
  std::uint16_t DefaultPort();
  // The record of device |index|'s run or unit.
  void Record(std::size_t index, const DeviceRecord& record, const StationUnit* unit);

  // FleetObserver.
  void OnDeviceStarted(std::size_t index) override;
  void OnDeviceLog(std::size_t index, const std::string& appended) override;
  void OnDeviceProgress(std::size_t index, const Progress& progress) override;
  void OnDeviceEnded(std::size_t index, const DeviceRecord& record) override;
  void OnFleetEnded() override;
  // StationObserver.
  void OnSlotChanged(std::size_t slot) override;
  void OnUnitStarted(std::size_t slot, const StationUnit& unit) override;
  void OnUnitLog(std::size_t slot, const std::string& appended) override;
  void OnUnitProgress(std::size_t slot, const Progress& progress) override;
  void OnUnitEnded(std::size_t slot, const StationUnit& unit) override;
  void OnStationEnded() override;

  SettingsStore& settings_;
  LogPane prepLog_;  // the preparation's lines
  DownloadOperations ops_;
  std::optional<PreparedImage> image_;
  std::string source_;  // the file the operator chose for it

  std::vector<FleetDevice> devices_;
  std::vector<std::vector<std::pair<std::string, std::string>>> fields_;  // the inventory's other columns
  std::vector<std::string> pins_;  // the SHA-256 a device must get; empty: any
  std::vector<std::string> logs_;
  std::vector<ProgressMeter> meters_;
  std::vector<RunCause> causes_;
  QElapsedTimer clock_;

  // The host outlives the engines that use it.
  std::unique_ptr<QtFleetHost> host_;
  std::unique_ptr<FleetEngine> fleet_;
  std::unique_ptr<StationEngine> station_;
  RecordFile record_;
  std::string recordError_;
  bool ended_ = true;
  bool stopAsked_ = false;
  bool closeAfterEnd_ = false;
  int pauseMs_ = -1;
  std::pair<int, int> limits_{QtRunner::kReplyLimitMs, QtRunner::kBlockAckLimitMs};
  int probeIntervalMs_ = 1000;

  FleetTableModel* model_ = nullptr;
  QTimer* refresh_ = nullptr;
  QPushButton* imageButton_ = nullptr;
  QLabel* imageLine_ = nullptr;
  QCheckBox* compressBox_ = nullptr;
  QLineEdit* addressField_ = nullptr;
  QPushButton* addButton_ = nullptr;
  QPushButton* listButton_ = nullptr;
  QPushButton* clearButton_ = nullptr;
  QSpinBox* jobsBox_ = nullptr;
  QSpinBox* retriesBox_ = nullptr;
  QSpinBox* timeoutBox_ = nullptr;
  QCheckBox* repeatBox_ = nullptr;
  QCheckBox* automaticBox_ = nullptr;
  QSpinBox* goneBox_ = nullptr;
  QLineEdit* recordField_ = nullptr;
  QCheckBox* recordWindowBox_ = nullptr;
  QScrollArea* tileArea_ = nullptr;
  QGridLayout* tileGrid_ = nullptr;
  std::vector<StationTile*> tiles_;
  QTableView* table_ = nullptr;
  QLabel* totalLabel_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QPushButton* closeButton_ = nullptr;
  // The device log shown in its own window, and how much of it.
  QPointer<QDialog> logWindow_;
  QPlainTextEdit* logView_ = nullptr;
  std::size_t logIndex_ = 0;
  std::size_t logShown_ = 0;
};

}  // namespace mervix
