#include "shell/FleetDlg.h"

#include "image/ImageHeader.h"
#include "operations/DeviceAddress.h"
#include "operations/Inventory.h"
#include "operations/RunTexts.h"
#include "operations/SettingsStore.h"
#include "resources/CommandLineMessages.h"
#include "resources/MessageTable.h"
#include "resources/WindowMessages.h"
#include "shell/DialogLayout.h"
#include "shell/ModalSeam.h"
#include "shell/SmallDialogs.h"
#include "shell/WindowRecord.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace mervix {
namespace {

constexpr std::uint16_t kPortKorvane = 55550;
constexpr std::uint16_t kPortDefault = 2222;
// The table, the tiles and the total line follow the runs this often.
constexpr int kRefreshMs = 200;
constexpr int kTileColumns = 4;

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string Text(std::uint16_t id) { return GetMessageText(id); }

// CR LF as the log pane shows lines.
QString LogText(const std::string& text) {
  QString s = Q(text);
  s.remove(QLatin1Char('\r'));
  return s;
}

std::string RateText(const ProgressMeter& meter) {
  const std::optional<double> rate = meter.BytesPerSecond();
  if (!rate) return std::string();
  char kb[32];
  std::snprintf(kb, sizeof kb, "%.0f", *rate / 1024.0);
  return FormatMessageText(IDS_PROGRESS_RATE, std::string(kb));
}

}  // namespace

CFleetDlg::CFleetDlg(SettingsStore& settings, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinMaxButtonsHint),
      settings_(settings),
      ops_(*this, prepLog_, settings_) {
  ops_.LoadUserModuleSettings();
  BuildControls();
  clock_.start();
}

CFleetDlg::~CFleetDlg() {
  // Runs still going end here, at once, while their runners are alive.
  if (fleet_ && !ended_) {
    fleet_->Stop(true);
    fleet_->Finish();
  }
  if (station_ && !ended_) {
    station_->Stop(true);
    station_->Finish();
  }
  if (logWindow_) delete logWindow_;
}

void CFleetDlg::BuildControls() {
  const Language language = ActiveLanguage();
  const bool japanese = language == Language::Japanese;
  setObjectName(QStringLiteral("fleet"));
  setFont(DialogFont(language, japanese ? 9 : 8));
  setWindowTitle(Q(Text(IDS_WINDOW_SEVERAL_DEVICES)));
  auto* layout = new QVBoxLayout(this);

  auto named = [](QWidget* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
  };
  auto button = [&](std::uint16_t id, const char* name) {
    auto* b = new QPushButton(Q(Text(id)), this);
    b->setAutoDefault(false);
    named(b, name);
    return b;
  };
  auto spin = [&](int low, int high, int value, const char* name) {
    auto* s = new QSpinBox(this);
    s->setRange(low, high);
    s->setValue(value);
    named(s, name);
    return s;
  };

  // The image, prepared once for every device.
  auto* imageRow = new QHBoxLayout;
  imageButton_ = button(IDS_WINDOW_FLEET_IMAGE, "fleet_image");
  imageLine_ = new QLabel(Q(Text(IDS_WINDOW_FLEET_NO_IMAGE)), this);
  named(imageLine_, "fleet_image_line");
  imageLine_->setTextFormat(Qt::PlainText);
  compressBox_ = new QCheckBox(QStringLiteral("Compress"), this);
  named(compressBox_, "fleet_compress");
  compressBox_->setChecked(settings_.GetSettingInt(kSettingsSection, setting_key::kCompress, 0) != 0);
  // As in the main window: the Japanese version offers no compression
  // choice; the stored value still holds.
  compressBox_->setVisible(!japanese);
  imageRow->addWidget(imageButton_);
  imageRow->addWidget(imageLine_, 1);
  imageRow->addWidget(compressBox_);
  layout->addLayout(imageRow);

  // The devices: typed, or from a list.
  auto* listRow = new QHBoxLayout;
  addressField_ = new QLineEdit(this);
  named(addressField_, "fleet_address");
  addressField_->setPlaceholderText(QStringLiteral("10.0.0.5:2222"));
  addButton_ = button(IDS_WINDOW_FLEET_ADD, "fleet_add");
  listButton_ = button(IDS_WINDOW_FLEET_LIST, "fleet_list");
  clearButton_ = button(IDS_WINDOW_FLEET_CLEAR, "fleet_clear");
  listRow->addWidget(addressField_, 1);
  listRow->addWidget(addButton_);
  listRow->addWidget(listButton_);
  listRow->addWidget(clearButton_);
  layout->addLayout(listRow);

  // How the devices run.
  auto* optionRow = new QHBoxLayout;
  jobsBox_ = spin(1, 1000, 16, "fleet_jobs");
  retriesBox_ = spin(0, 10, 0, "fleet_retries");
  timeoutBox_ = spin(1, 3600, QtRunner::kReplyLimitMs / 1000, "fleet_timeout");
  for (auto [id, box] : {std::pair<std::uint16_t, QSpinBox*>{IDS_WINDOW_FLEET_JOBS, jobsBox_},
                         {IDS_WINDOW_FLEET_RETRIES, retriesBox_},
                         {IDS_WINDOW_FLEET_TIMEOUT, timeoutBox_}}) {
    auto* label = new QLabel(Q(Text(id)), this);
    label->setBuddy(box);
    optionRow->addWidget(label);
    optionRow->addWidget(box);
    optionRow->addSpacing(12);
  }
  optionRow->addStretch(1);
  layout->addLayout(optionRow);

  // The station.
  auto* stationRow = new QHBoxLayout;
  repeatBox_ = new QCheckBox(Q(Text(IDS_WINDOW_FLEET_REPEAT)), this);
  named(repeatBox_, "fleet_repeat");
  automaticBox_ = new QCheckBox(Q(Text(IDS_WINDOW_FLEET_AUTOMATIC)), this);
  named(automaticBox_, "fleet_automatic");
  goneBox_ = spin(1, 3600, StationSettings::kDefaultGoneMs / 1000, "fleet_gone");
  auto* goneLabel = new QLabel(Q(Text(IDS_WINDOW_FLEET_GONE)), this);
  goneLabel->setBuddy(goneBox_);
  stationRow->addWidget(repeatBox_);
  stationRow->addSpacing(12);
  stationRow->addWidget(automaticBox_);
  stationRow->addSpacing(12);
  stationRow->addWidget(goneLabel);
  stationRow->addWidget(goneBox_);
  stationRow->addStretch(1);
  layout->addLayout(stationRow);

  // The record of runs.
  auto* recordRow = new QHBoxLayout;
  auto* recordLabel = new QLabel(Q(Text(IDS_WINDOW_FLEET_RECORD)), this);
  recordField_ = new QLineEdit(Q(RecordPathSetting(settings_)), this);
  named(recordField_, "fleet_record");
  recordLabel->setBuddy(recordField_);
  recordWindowBox_ = new QCheckBox(Q(Text(IDS_WINDOW_FLEET_RECORD_WINDOW)), this);
  named(recordWindowBox_, "fleet_record_window");
  recordWindowBox_->setChecked(settings_.GetSettingInt(kSettingsSection, setting_key::kRecordWindowRuns, 0) != 0);
  recordRow->addWidget(recordLabel);
  recordRow->addWidget(recordField_, 1);
  recordRow->addWidget(recordWindowBox_);
  layout->addLayout(recordRow);

  // The station's tiles over the table.
  auto* splitter = new QSplitter(Qt::Vertical, this);
  tileArea_ = new QScrollArea(splitter);
  named(tileArea_, "fleet_tiles");
  tileArea_->setWidgetResizable(true);
  tileArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* tileHolder = new QWidget(tileArea_);
  tileGrid_ = new QGridLayout(tileHolder);
  tileGrid_->setAlignment(Qt::AlignTop);
  tileArea_->setWidget(tileHolder);
  tileArea_->setVisible(false);
  model_ = new FleetTableModel(this);
  table_ = new QTableView(splitter);
  named(table_, "fleet_table");
  table_->setModel(model_);
  table_->setItemDelegateForColumn(FleetTableModel::kProgress, new ProgressDelegate(table_));
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setWordWrap(false);
  table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
  table_->horizontalHeader()->setStretchLastSection(true);
  const int em = table_->fontMetrics().horizontalAdvance(QLatin1Char('M'));
  const int widths[] = {7, 11, 17, 8, 6};
  for (int c = 0; c < 5; ++c) table_->setColumnWidth(c, widths[c] * em);
  splitter->addWidget(tileArea_);
  splitter->addWidget(table_);
  splitter->setChildrenCollapsible(false);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  layout->addWidget(splitter, 1);

  totalLabel_ = new QLabel(this);
  named(totalLabel_, "fleet_total");
  totalLabel_->setTextFormat(Qt::PlainText);
  totalLabel_->setWordWrap(true);
  layout->addWidget(totalLabel_);

  auto* buttonRow = new QHBoxLayout;
  startButton_ = button(IDS_WINDOW_FLEET_START, "fleet_start");
  stopButton_ = button(IDS_WINDOW_STOP, "fleet_stop");
  stopButton_->setEnabled(false);
  closeButton_ = button(IDS_WINDOW_FLEET_CLOSE, "fleet_close");
  buttonRow->addWidget(startButton_);
  buttonRow->addWidget(stopButton_);
  buttonRow->addStretch(1);
  buttonRow->addWidget(closeButton_);
  layout->addLayout(buttonRow);

  refresh_ = new QTimer(this);
  refresh_->setInterval(kRefreshMs);
  connect(refresh_, &QTimer::timeout, this, [this] { Refresh(); });
  // Space arms the slots of a manual station, as Start does; only while one
  // runs, so that Space keeps its own meaning elsewhere.
  auto* space = new QShortcut(QKeySequence(Qt::Key_Space), this);
  space->setObjectName(QStringLiteral("fleet_space"));
  space->setEnabled(false);
  connect(space, &QShortcut::activated, this, [this] { OnStart(); });

  connect(imageButton_, &QPushButton::clicked, this, [this] { OnImage(); });
  connect(compressBox_, &QCheckBox::clicked, this, [this](bool on) {
    settings_.SetSettingInt(kSettingsSection, setting_key::kCompress, on ? 1 : 0);
    // The image prepared before is not the one Compress now asks for.
    image_.reset();
    imageLine_->setText(Q(Text(IDS_WINDOW_FLEET_NO_IMAGE)));
  });
  connect(addButton_, &QPushButton::clicked, this, [this] {
    if (AddTypedDevice(addressField_->text().trimmed().toStdString())) addressField_->clear();
  });
  connect(addressField_, &QLineEdit::returnPressed, addButton_, &QPushButton::click);
  connect(listButton_, &QPushButton::clicked, this, [this] { OnOpenList(); });
  connect(clearButton_, &QPushButton::clicked, this, [this] { OnClear(); });
  connect(repeatBox_, &QCheckBox::toggled, this, [this] { ModeChanged(); });
  connect(recordWindowBox_, &QCheckBox::toggled, this, [this](bool on) {
    settings_.SetSettingText(kSettingsSection, setting_key::kRecordFile, recordField_->text().toStdString());
    settings_.SetSettingInt(kSettingsSection, setting_key::kRecordWindowRuns, on ? 1 : 0);
  });
  connect(recordField_, &QLineEdit::editingFinished, this, [this] {
    settings_.SetSettingText(kSettingsSection, setting_key::kRecordFile, recordField_->text().toStdString());
  });
  connect(table_, &QTableView::doubleClicked, this,
          [this](const QModelIndex& index) { ShowDeviceLog(static_cast<std::size_t>(index.row())); });
  connect(startButton_, &QPushButton::clicked, this, [this] { OnStart(); });
  connect(stopButton_, &QPushButton::clicked, this, [this] { OnStop(); });
  connect(closeButton_, &QPushButton::clicked, this, [this] { reject(); });

  ModeChanged();
  resize(std::max(760, sizeHint().width()), 640);
}

// ---------------------------------------------------------------------------
// The preparation's operator

Answer CFleetDlg::ShowMessageBox(const std::string& text, ButtonSet buttons) {
  return ShowMessageBoxOver(this, text, buttons);
}

Answer CFleetDlg::ShowDetailedMessageBox(const std::string& text, const std::string& detail, ButtonSet buttons) {
  return ShowMessageBoxOver(this, text, detail, buttons);
}

void CFleetDlg::SetDownloadEnabled(bool enabled) {
  imageButton_->setEnabled(enabled && !Running());
  startButton_->setEnabled(enabled && !Running());
}

bool CFleetDlg::ReadControls(ControlValues& values) {
  values.host.clear();
  values.port = 0;
  values.compress = compressBox_->isChecked();
  return true;
}

std::optional<std::string> CFleetDlg::ChooseFileToOpen() {
  const QStringList filters = {Q(Text(IDS_WINDOW_FILTER_SREC)), Q(Text(IDS_WINDOW_FILTER_IMAGES)),
                               Q(Text(IDS_WINDOW_FILTER_ALL))};
  const QString path = ::mervix::ChooseFileToOpen(this, QString(), filters);
  if (path.isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(path).toStdString();
}

std::optional<std::string> CFleetDlg::AskBaseAddress(const std::string& preset) {
  CBaseAddressDlg dialog(this);
  dialog.SetAddressText(Q(preset));
  if (!dialog.DoModal()) return std::nullopt;
  return dialog.AddressText().toStdString();
}

bool CFleetDlg::OnImage() {
  if (Running()) return false;
  image_.reset();
  imageLine_->setText(Q(Text(IDS_WINDOW_FLEET_NO_IMAGE)));
  PreparedImage image;
  const PreparationResult result = ops_.PrepareForDevices(&image);
  SetDownloadEnabled(true);
  if (!result.prepared()) return false;
  image_ = image;
  source_ = ops_.LastSource();
  const std::string version = HasImageTag(image.header) ? ImageVersionNumber(image.header) : std::string("-");
  imageLine_->setText(
      Q(FormatCommandLineText(IDS_WINDOW_FLEET_IMAGE_LINE, {image.path, version, std::to_string(image.length)})));
  imageLine_->setToolTip(Q("SHA-256 " + image.sha256));
  return true;
}

// ---------------------------------------------------------------------------
// The list of devices

std::uint16_t CFleetDlg::DefaultPort() {
  return settings_.GetSettingInt(kSettingsSection, setting_key::kKorvane, 0) != 0 ? kPortKorvane : kPortDefault;
}

bool CFleetDlg::AddTypedDevice(const std::string& text) {
  if (Running() || text.empty()) return false;
  DeviceAddress address;
  std::string error;
  if (!ParseDeviceAddress(text, &address, &error)) {
    ShowMessageBoxOver(this, Text(IDS_WINDOW_FLEET_BAD_DEVICE), "'" + text + "': " + error, ButtonSet::Ok);
    return false;
  }
  return AddDevices({MakeFleetDevice(address.host, address.PortOr(DefaultPort()))}, {{}}, {std::string()});
}

bool CFleetDlg::AddDevicesFromFile(const std::string& path) {
  if (Running()) return false;
  QFile file(Q(path));
  std::string error;
  std::vector<FleetDevice> devices;
  std::vector<std::vector<std::pair<std::string, std::string>>> fields;
  std::vector<std::string> pins;
  if (!file.open(QIODevice::ReadOnly)) {
    error = file.errorString().toStdString();
  } else {
    const std::string text = file.readAll().toStdString();
    if (QFileInfo(Q(path)).suffix().compare(QStringLiteral("csv"), Qt::CaseInsensitive) == 0) {
      std::vector<InventoryRow> rows;
      if (ParseInventoryText(text, DefaultPort(), &rows, &error)) {
        for (const InventoryRow& row : rows) {
          FleetDevice d = MakeFleetDevice(row.address.host, row.PortOr(DefaultPort()));
          d.name = row.name;
          d.group = row.group;
          if (!row.name.empty()) d.label = row.name;
          devices.push_back(d);
          fields.push_back(row.extra);
          pins.push_back(row.sha256);
        }
      }
    } else if (ParseHostsText(text, DefaultPort(), &devices, &error)) {
      fields.resize(devices.size());
      pins.resize(devices.size());
    }
  }
  if (!error.empty()) {
    ShowMessageBoxOver(this, Text(IDS_WINDOW_FLEET_BAD_LIST), path + ": " + error, ButtonSet::Ok);
    return false;
  }
  return AddDevices(std::move(devices), std::move(fields), pins);
}

bool CFleetDlg::AddDevices(std::vector<FleetDevice> devices,
                           std::vector<std::vector<std::pair<std::string, std::string>>> fields,
                           const std::vector<std::string>& pins) {
  // One device once: a second run to it at the same time would take over
  // the first one's connection.
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const std::string address = FormatDeviceAddress(devices[i].host, devices[i].port);
    auto same = [&](const FleetDevice& d) { return FormatDeviceAddress(d.host, d.port) == address; };
    if (std::any_of(devices_.begin(), devices_.end(), same) ||
        std::any_of(devices.begin(), devices.begin() + static_cast<std::ptrdiff_t>(i), same)) {
      ShowMessageBoxOver(this, FormatCommandLineText(IDS_WINDOW_FLEET_TWICE, {address}), std::string(), ButtonSet::Ok);
      return false;
    }
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    devices_.push_back(std::move(devices[i]));
    fields_.push_back(i < fields.size() ? std::move(fields[i]) : std::vector<std::pair<std::string, std::string>>());
    pins_.push_back(i < pins.size() ? pins[i] : std::string());
  }
  ResetRows();
  return true;
}

void CFleetDlg::OnOpenList() {
  const QStringList filters = Q(Text(IDS_WINDOW_FLEET_LIST_FILTER)).split(QStringLiteral(";;"));
  const QString path = ::mervix::ChooseFileToOpen(this, QString(), filters);
  if (!path.isEmpty()) AddDevicesFromFile(QDir::toNativeSeparators(path).toStdString());
}

void CFleetDlg::OnClear() {
  if (Running()) return;
  devices_.clear();
  fields_.clear();
  pins_.clear();
  ResetRows();
}

void CFleetDlg::ResetRows() {
  std::vector<FleetRow> rows;
  for (const FleetDevice& d : devices_) {
    FleetRow row;
    row.name = d.name;
    row.device = FormatDeviceAddress(d.host, d.port);
    row.phase = Text(IDS_CLI_FLEET_WAITING);
    rows.push_back(row);
  }
  model_->SetRows(std::move(rows));
  logs_.assign(devices_.size(), std::string());
  meters_.assign(devices_.size(), ProgressMeter());
  causes_.clear();
  // A tile per slot, in rows of four.
  for (StationTile* tile : tiles_) delete tile;
  tiles_.clear();
  if (repeatBox_->isChecked()) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      auto* tile = new StationTile(Q(devices_[i].label), tileArea_->widget());
      tile->setObjectName(QStringLiteral("tile_%1").arg(i));
      tile->onDoubleClick = [this, i] { ShowDeviceLog(i); };
      tileGrid_->addWidget(tile, static_cast<int>(i) / kTileColumns, static_cast<int>(i) % kTileColumns);
      tiles_.push_back(tile);
      RefreshTile(i);
    }
    // Two rows of tiles in view, whatever the table below wants.
    if (!tiles_.empty()) {
      const int rows = std::min<int>(2, static_cast<int>((tiles_.size() + kTileColumns - 1) / kTileColumns));
      const int height = tiles_[0]->sizeHint().height();
      tileArea_->setMinimumHeight(rows * height + (rows + 1) * tileGrid_->spacing() +
                                  tileGrid_->contentsMargins().top() + tileGrid_->contentsMargins().bottom() +
                                  2 * tileArea_->frameWidth() + 8);
    }
  }
  totalLabel_->setText(Q(TotalText()));
}

void CFleetDlg::ModeChanged() {
  const bool station = repeatBox_->isChecked();
  tileArea_->setVisible(station);
  automaticBox_->setEnabled(station && !Running());
  goneBox_->setEnabled(station && !Running());
  jobsBox_->setEnabled(!station && !Running());
  if (!Running()) {
    fleet_.reset();
    station_.reset();
    ResetRows();
  }
}

// ---------------------------------------------------------------------------
// Start and stop

bool CFleetDlg::Running() const { return !ended_; }

void CFleetDlg::OnStart() {
  if (station_ && !ended_) {
    // The manual station: every slot writes its next unit.
    if (!station_->Stopping() && !automaticBox_->isChecked()) station_->Arm(station_->Size());
    Refresh();
    return;
  }
  if (Running()) return;
  if (devices_.empty()) {
    ShowMessageBoxOver(this, Text(IDS_WINDOW_FLEET_NO_DEVICES), ButtonSet::Ok);
    return;
  }
  if (!image_ && !OnImage()) return;
  for (std::size_t i = 0; i < devices_.size(); ++i) {
    if (!pins_[i].empty() && pins_[i] != image_->sha256) {
      ShowMessageBoxOver(this, FormatCommandLineText(IDS_WINDOW_FLEET_PINNED, {devices_[i].label, pins_[i]}),
                         ButtonSet::Ok);
      return;
    }
  }
  const std::string recordPath = recordField_->text().trimmed().toStdString();
  settings_.SetSettingText(kSettingsSection, setting_key::kRecordFile, recordPath);
  std::string error;
  record_.Close();
  if (!OpenRecordFile(recordPath, &record_, &error)) {
    ShowMessageBoxOver(this, Text(IDS_WINDOW_FLEET_RECORD_ERROR), recordPath + ": " + error, ButtonSet::Ok);
    return;
  }
  const bool station = repeatBox_->isChecked();
  const std::string count = std::to_string(devices_.size());
  const std::string question = station ? FormatCommandLineText(IDS_CLI_STATION_CONFIRM, {image_->path, count})
                                       : FormatCommandLineText(IDS_CLI_FLEET_CONFIRM, {count, image_->path});
  if (ShowMessageBoxOver(this, question, imageLine_->text().toStdString(), ButtonSet::OkCancel,
                         DefaultButton::Negative) != Answer::Ok) {
    record_.Close();
    return;
  }
  fleet_.reset();
  station_.reset();
  ResetRows();
  recordError_.clear();
  stopAsked_ = false;
  host_ = std::make_unique<QtFleetHost>(*this);
  host_->SetUnattended(true);
  host_->SetResponseLimits(limits_.first, limits_.second);
  if (limits_.first == QtRunner::kReplyLimitMs) {
    // The operator's time-out; a block's flash write may take longer.
    const int ms = timeoutBox_->value() * 1000;
    host_->SetResponseLimits(ms, std::max(ms, QtRunner::kBlockAckLimitMs));
  }
  if (station) {
    StartStation();
  } else {
    StartFleet();
  }
}

void CFleetDlg::StartFleet() {
  FleetSettings settings;
  settings.jobs = jobsBox_->value();
  settings.retry.retries = retriesBox_->value();
  if (pauseMs_ >= 0) settings.modeSwitchPauseMs = pauseMs_;
  settings.startRampMs = StartRampFor(settings.modeSwitchPauseMs);
  fleet_ = std::make_unique<FleetEngine>(*image_, devices_, settings, *host_, static_cast<FleetObserver&>(*this));
  ended_ = false;
  Began();
  std::string error;
  if (!fleet_->Start(&error)) {
    ended_ = true;
    Ended();
    ShowMessageBoxOver(this, error, ButtonSet::Ok);
  }
}

void CFleetDlg::StartStation() {
  StationSettings settings;
  settings.automatic = automaticBox_->isChecked();
  settings.goneMs = goneBox_->value() * 1000;
  settings.probeIntervalMs = probeIntervalMs_;
  settings.retry.retries = retriesBox_->value();
  if (pauseMs_ >= 0) settings.modeSwitchPauseMs = pauseMs_;
  station_ = std::make_unique<StationEngine>(*image_, devices_, settings, *host_, static_cast<StationObserver&>(*this));
  ended_ = false;
  Began();
  std::string error;
  if (!station_->Start(&error)) {
    ended_ = true;
    Ended();
    ShowMessageBoxOver(this, error, ButtonSet::Ok);
    return;
  }
  if (!settings.automatic) station_->Arm(station_->Size());
  for (std::size_t i = 0; i < devices_.size(); ++i) OnSlotChanged(i);
  model_->Flush();
}

void CFleetDlg::Began() {
  SetInputsEnabled(false);
  stopButton_->setEnabled(true);
  const bool manual = station_ && !automaticBox_->isChecked();
  startButton_->setEnabled(manual);
  if (auto* space = findChild<QShortcut*>(QStringLiteral("fleet_space"))) space->setEnabled(manual);
  refresh_->start();
  Refresh();
}

void CFleetDlg::Ended() {
  refresh_->stop();
  if (auto* space = findChild<QShortcut*>(QStringLiteral("fleet_space"))) space->setEnabled(false);
  Refresh();
  ShowSummary();
  record_.Close();
  SetInputsEnabled(true);
  stopButton_->setEnabled(false);
  startButton_->setEnabled(true);
  if (closeAfterEnd_) {
    closeAfterEnd_ = false;
    CloseAndLetGo();
  }
}

void CFleetDlg::CloseAndLetGo() {
  // The image file is held open while it is prepared; a closed window lets
  // go of it, so that it can be rebuilt or replaced (Windows locks it).
  image_.reset();
  imageLine_->setText(Q(Text(IDS_WINDOW_FLEET_NO_IMAGE)));
  // The engines hold it too; what they found stays in the table and the
  // summary.
  fleet_.reset();
  station_.reset();
  QDialog::reject();
}

void CFleetDlg::SetInputsEnabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{imageButton_, compressBox_, addressField_, addButton_, listButton_,
                                                    clearButton_, retriesBox_, timeoutBox_, repeatBox_, recordField_}) {
    w->setEnabled(enabled);
  }
  const bool station = repeatBox_->isChecked();
  jobsBox_->setEnabled(enabled && !station);
  automaticBox_->setEnabled(enabled && station);
  goneBox_->setEnabled(enabled && station);
}

void CFleetDlg::OnStop() {
  if (!Running()) return;
  if (stopAsked_) return;
  const std::uint16_t question = station_ ? IDS_WINDOW_STATION_ASK_STOP : IDS_WINDOW_FLEET_ASK_STOP;
  if (ShowMessageBoxOver(this, Text(question), std::string(), ButtonSet::YesNo, DefaultButton::Negative) !=
      Answer::Yes) {
    return;
  }
  // The runs may have ended while the question was up.
  if (!Running()) return;
  stopAsked_ = true;
  stopButton_->setEnabled(false);
  startButton_->setEnabled(false);
  if (fleet_) fleet_->Stop(false);
  if (station_) station_->Stop(false);
  Refresh();
}

void CFleetDlg::reject() {
  if (Running()) {
    if (stopAsked_) {
      // A second close while the devices stop: they stop now.
      if (fleet_) fleet_->Stop(true);
      if (station_) station_->Stop(true);
      closeAfterEnd_ = true;
      return;
    }
    OnStop();
    if (stopAsked_) closeAfterEnd_ = true;
    return;
  }
  CloseAndLetGo();
}

// ---------------------------------------------------------------------------
// What the engines tell

void CFleetDlg::OnDeviceStarted(std::size_t index) {
  meters_[index].Reset();
  FleetRow& row = model_->Edit(index);
  row.phase = FormatPhase(Progress{}, devices_[index].host);
  row.percent = 0;
  row.outcome.clear();
  row.tone = FleetRow::Tone::Neutral;
}

void CFleetDlg::OnDeviceLog(std::size_t index, const std::string& appended) { logs_[index] += appended; }

void CFleetDlg::OnDeviceProgress(std::size_t index, const Progress& progress) {
  ShowProgress(index, progress).phase = FormatPhase(progress, devices_[index].host);
}

FleetRow& CFleetDlg::ShowProgress(std::size_t index, const Progress& progress) {
  ProgressMeter& meter = meters_[index];
  meter.Update(progress, clock_.elapsed());
  FleetRow& row = model_->Edit(index);
  row.percent = meter.Percent();
  row.rate = RateText(meter);
  return row;
}

void CFleetDlg::OnDeviceEnded(std::size_t index, const DeviceRecord& record) {
  causes_.push_back(record.cause);
  FleetRow& row = model_->Edit(index);
  row.phase = RunCauseText(record.cause);
  row.outcome = FormatOutcomeStatus(record.outcome, record.failure, meters_[index].Last());
  row.tone = record.cause == RunCause::Finished ? FleetRow::Tone::Good : FleetRow::Tone::Bad;
  if (record.cause == RunCause::Finished) row.percent = 100;
  row.rate.clear();
  Record(index, record, nullptr);
}

void CFleetDlg::OnFleetEnded() {
  // Not from inside the engine's own call: the window may close.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (ended_) return;
        ended_ = true;
        Ended();
      },
      Qt::QueuedConnection);
}

void CFleetDlg::OnSlotChanged(std::size_t slot) {
  model_->Edit(slot).phase = SlotStateText(station_->Slot(slot));
  RefreshTile(slot);
}

void CFleetDlg::OnUnitStarted(std::size_t slot, const StationUnit&) {
  meters_[slot].Reset();
  logs_[slot].clear();
  if (logWindow_ && logIndex_ == slot) {
    logView_->clear();
    logShown_ = 0;
  }
  FleetRow& row = model_->Edit(slot);
  row.percent = 0;
  row.rate.clear();
}

void CFleetDlg::OnUnitLog(std::size_t slot, const std::string& appended) { logs_[slot] += appended; }

// A slot's phase is its state, told by OnSlotChanged.
void CFleetDlg::OnUnitProgress(std::size_t slot, const Progress& progress) { ShowProgress(slot, progress); }

void CFleetDlg::OnUnitEnded(std::size_t slot, const StationUnit& unit) {
  causes_.push_back(unit.record.cause);
  FleetRow& row = model_->Edit(slot);
  std::string outcome = Text(unit.passed ? IDS_CLI_PASS : IDS_CLI_FAIL) + " #" + std::to_string(unit.number) +
                        "  MAC " + (unit.mac.empty() ? std::string("-") : unit.mac);
  if (!unit.passed) outcome += ": " + RunCauseText(unit.record.cause);
  row.outcome = outcome;
  row.tone = unit.passed ? FleetRow::Tone::Good : FleetRow::Tone::Bad;
  if (unit.passed) row.percent = 100;
  row.rate.clear();
  Record(slot, unit.record, &unit);
  RefreshTile(slot);
}

void CFleetDlg::OnStationEnded() { OnFleetEnded(); }

void CFleetDlg::Record(std::size_t index, const DeviceRecord& record, const StationUnit* unit) {
  const FleetDevice& d = devices_[index];
  RecordedRun run;
  run.command = "window";
  run.device = FormatDeviceAddress(d.host, d.port);
  run.name = d.name;
  run.group = d.group;
  run.source = source_;
  run.image = &*image_;
  run.record = &record;
  run.failure = record.failure;
  run.exitCode = ExitCodeOfCause(record.cause);
  run.fields = fields_[index];
  if (unit != nullptr) {
    run.unit = unit->number;
    run.slot = run.device;
    run.mac = unit->mac;
  }
  if (!record_.IsOpen() || !record_.AppendUnsynced(RecordLine(run))) {
    recordError_ = Text(IDS_WINDOW_FLEET_RECORD_ERROR) + " " + recordField_->text().toStdString();
  }
}

// ---------------------------------------------------------------------------
// What the window shows

void CFleetDlg::RefreshTile(std::size_t index) {
  if (index >= tiles_.size()) return;
  StationTile* tile = tiles_[index];
  if (!station_) {
    tile->Show(QStringLiteral("—"), StationTile::Tone::Idle, 0, Q(Text(IDS_CLI_SLOT_WAITING)),
               Q(FormatCommandLineText(IDS_WINDOW_STATION_COUNTS, {"0", "0"})), QString());
    return;
  }
  const StationSlot& slot = station_->Slot(index);
  QString word = QStringLiteral("—");
  StationTile::Tone tone = StationTile::Tone::Idle;
  int percent = 0;
  switch (slot.state) {
    case SlotState::Writing:
      percent = meters_[index].Percent();
      word = QString::number(percent) + QLatin1Char('%');
      tone = StationTile::Tone::Busy;
      break;
    case SlotState::Passed:
      word = Q(Text(IDS_CLI_PASS));
      tone = StationTile::Tone::Pass;
      percent = 100;
      break;
    case SlotState::Failed:
      word = Q(Text(IDS_CLI_FAIL));
      tone = StationTile::Tone::Fail;
      percent = meters_[index].Percent();
      break;
    default:
      break;
  }
  QString unit;
  if (slot.unit.number > 0) {
    unit = Q(FormatCommandLineText(IDS_WINDOW_STATION_MAC,
                                   {std::to_string(slot.unit.number), slot.unit.mac.empty() ? "-" : slot.unit.mac}));
  }
  tile->Show(word, tone, percent, Q(SlotStateText(slot)),
             Q(FormatCommandLineText(IDS_WINDOW_STATION_COUNTS,
                                     {std::to_string(slot.passed), std::to_string(slot.failed)})),
             unit);
}

std::string CFleetDlg::TotalText() const {
  std::string text;
  if (station_) {
    text = FormatCommandLineText(IDS_CLI_STATION_SUMMARY, {std::to_string(station_->UnitsEnded()),
                                                           std::to_string(station_->Passed()),
                                                           std::to_string(station_->Failed())});
    if (!ended_ && !automaticBox_->isChecked() && !station_->Stopping()) {
      text += "   " + Text(IDS_WINDOW_STATION_PRESS_START);
    }
    if (!ended_ && station_->Stopping()) text += "   " + Text(IDS_WINDOW_STATION_STOPPING);
  } else if (fleet_) {
    std::size_t finished = 0, notFinished = 0, running = 0;
    double rate = 0;
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
      const DeviceRecord& r = fleet_->Record(i);
      if (r.ended) {
        (r.cause == RunCause::Finished ? finished : notFinished)++;
      } else if (r.started) {
        ++running;
        rate += meters_[i].BytesPerSecond().value_or(0);
      }
    }
    text = FormatCommandLineText(IDS_CLI_FLEET_TOTAL,
                                 {std::to_string(fleet_->Size()), std::to_string(finished),
                                  std::to_string(notFinished), std::to_string(running),
                                  std::to_string(fleet_->Size() - finished - notFinished - running)});
    if (running > 0) {
      char kb[32];
      std::snprintf(kb, sizeof kb, "%.0f", rate / 1024.0);
      text += "   " + FormatMessageText(IDS_PROGRESS_RATE, std::string(kb));
    }
    if (!ended_ && fleet_->Stopping()) text += "   " + Text(IDS_WINDOW_FLEET_STOPPING);
  } else {
    text = FormatCommandLineText(IDS_CLI_FLEET_TOTAL,
                                 {std::to_string(devices_.size()), "0", "0", "0", std::to_string(devices_.size())});
  }
  if (!recordError_.empty()) text += "\n" + recordError_;
  return text;
}

void CFleetDlg::ShowSummary() {
  std::string text = TotalText();
  if (fleet_) {
    // The devices the operator's stop kept from starting count as stopped.
    std::vector<RunCause> causes = causes_;
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
      if (!fleet_->Record(i).ended) causes.push_back(RunCause::Stopped);
    }
    std::size_t finished = 0, refused = 0, stopped = 0, failed = 0;
    for (RunCause c : causes) {
      (c == RunCause::Finished ? finished : c == RunCause::Refused ? refused : c == RunCause::Stopped ? stopped : failed)++;
    }
    text = FormatCommandLineText(IDS_CLI_FLEET_SUMMARY,
                                 {std::to_string(fleet_->Size()), std::to_string(finished), std::to_string(refused),
                                  std::to_string(failed), std::to_string(stopped)});
    causes_ = causes;
  }
  // The counts by cause, the most serious first.
  std::map<RunCause, std::size_t> byCause;
  for (RunCause c : causes_) ++byCause[c];
  for (const auto& [cause, count] : byCause) {
    text += "\n" + FormatCommandLineText(IDS_CLI_FLEET_CAUSE, {std::to_string(count), RunCauseText(cause),
                                                               std::to_string(ExitCodeOfCause(cause))});
  }
  if (!recordError_.empty()) text += "\n" + recordError_;
  totalLabel_->setText(Q(text));
}

void CFleetDlg::Refresh() {
  // The records of the devices that ended since the last refresh, through
  // to the disk at once.
  if (record_.IsOpen() && !record_.Sync()) {
    recordError_ = Text(IDS_WINDOW_FLEET_RECORD_ERROR) + " " + recordField_->text().toStdString();
  }
  model_->Flush();
  if (station_) {
    for (std::size_t i = 0; i < tiles_.size(); ++i) RefreshTile(i);
  }
  if (!ended_) totalLabel_->setText(Q(TotalText()));
  if (logWindow_ && logIndex_ < logs_.size() && logs_[logIndex_].size() > logShown_) {
    const std::string& log = logs_[logIndex_];
    QScrollBar* bar = logView_->verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    logView_->moveCursor(QTextCursor::End);
    logView_->insertPlainText(LogText(log.substr(logShown_)));
    logShown_ = log.size();
    if (atEnd) bar->setValue(bar->maximum());
  }
}

void CFleetDlg::ShowDeviceLog(std::size_t index) {
  if (index >= devices_.size()) return;
  if (logWindow_) delete logWindow_;
  auto* window = new QDialog(this, Qt::Window);
  window->setObjectName(QStringLiteral("fleet_log"));
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->setWindowTitle(Q(FormatCommandLineText(IDS_WINDOW_FLEET_LOG_TITLE, {devices_[index].label})));
  auto* layout = new QVBoxLayout(window);
  logView_ = new QPlainTextEdit(window);
  logView_->setObjectName(QStringLiteral("fleet_log_text"));
  logView_->setReadOnly(true);
  logView_->setLineWrapMode(QPlainTextEdit::NoWrap);
  logView_->setPlainText(LogText(logs_[index]));
  layout->addWidget(logView_);
  window->resize(620, 380);
  logWindow_ = window;
  logIndex_ = index;
  logShown_ = logs_[index].size();
  window->show();
}

}  // namespace mervix
