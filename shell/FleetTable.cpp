#include "shell/FleetTable.h"

#include "resources/MessageTable.h"
#include "resources/WindowMessages.h"

#include <QApplication>
#include <QBrush>
#include <QColor>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QStyleOptionProgressBar>
#include <QVBoxLayout>

#include <algorithm>
#include <functional>

namespace mervix {

void FleetTableModel::SetRows(std::vector<FleetRow> rows) {
  beginResetModel();
  rows_ = std::move(rows);
  dirtyFirst_ = dirtyEnd_ = 0;
  endResetModel();
}

FleetRow& FleetTableModel::Edit(std::size_t index) {
  if (dirtyFirst_ == dirtyEnd_) {
    dirtyFirst_ = index;
    dirtyEnd_ = index + 1;
  } else {
    dirtyFirst_ = std::min(dirtyFirst_, index);
    dirtyEnd_ = std::max(dirtyEnd_, index + 1);
  }
  return rows_[index];
}

void FleetTableModel::Flush() {
  if (dirtyFirst_ == dirtyEnd_) return;
  const int first = static_cast<int>(dirtyFirst_), last = static_cast<int>(dirtyEnd_) - 1;
  dirtyFirst_ = dirtyEnd_ = 0;
  emit dataChanged(index(first, 0), index(last, kColumns - 1));
}

int FleetTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FleetTableModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant FleetTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return QVariant();
  const FleetRow& row = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) {
    switch (index.column()) {
      case kName: return QString::fromStdString(row.name);
      case kDevice: return QString::fromStdString(row.device);
      case kPhase: return QString::fromStdString(row.phase);
      case kProgress: return row.percent;
      case kRate: return QString::fromStdString(row.rate);
      case kOutcome: return QString::fromStdString(row.outcome);
      default: return QVariant();
    }
  }
  if (role == Qt::ToolTipRole && (index.column() == kOutcome || index.column() == kPhase)) {
    return QString::fromStdString(index.column() == kOutcome ? row.outcome : row.phase);
  }
  if (role == Qt::ForegroundRole && index.column() == kOutcome && row.tone != FleetRow::Tone::Neutral) {
    return QBrush(row.tone == FleetRow::Tone::Good ? QColor(0x1b, 0x5e, 0x20) : QColor(0xb7, 0x1c, 0x1c));
  }
  return QVariant();
}

QVariant FleetTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return QVariant();
  if (orientation == Qt::Vertical) return section + 1;
  static constexpr std::uint16_t kHeaders[kColumns] = {
      IDS_WINDOW_FLEET_COL_NAME,     IDS_WINDOW_FLEET_COL_DEVICE, IDS_WINDOW_FLEET_COL_PHASE,
      IDS_WINDOW_FLEET_COL_PROGRESS, IDS_WINDOW_FLEET_COL_RATE,   IDS_WINDOW_FLEET_COL_OUTCOME};
  if (section < 0 || section >= kColumns) return QVariant();
  return QString::fromStdString(GetMessageText(kHeaders[section]));
}

void ProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionProgressBar bar;
  bar.rect = option.rect.adjusted(2, 2, -2, -2);
  bar.minimum = 0;
  bar.maximum = 100;
  bar.progress = index.data().toInt();
  bar.text = QString::number(bar.progress) + QLatin1Char('%');
  bar.textVisible = true;
  bar.state = option.state | QStyle::State_Horizontal;
  QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
}

StationTile::StationTile(const QString& slot, QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setAutoFillBackground(true);
  setMinimumWidth(150);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 6, 8, 6);
  layout->setSpacing(2);
  slot_ = new QLabel(slot, this);
  QFont bold = slot_->font();
  bold.setBold(true);
  slot_->setFont(bold);
  word_ = new QLabel(this);
  word_->setObjectName(QStringLiteral("tile_word"));
  word_->setAlignment(Qt::AlignCenter);
  QFont big = word_->font();
  big.setPointSize(std::max(26, big.pointSize() * 3));
  big.setBold(true);
  word_->setFont(big);
  word_->setMinimumHeight(QFontMetrics(big).height() + 8);
  bar_ = new QProgressBar(this);
  bar_->setRange(0, 100);
  state_ = new QLabel(this);
  state_->setObjectName(QStringLiteral("tile_state"));
  state_->setWordWrap(true);
  // Two lines for the state, in every tile, so that the tiles line up.
  state_->setMinimumHeight(2 * state_->fontMetrics().lineSpacing());
  state_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  counts_ = new QLabel(this);
  counts_->setObjectName(QStringLiteral("tile_counts"));
  unit_ = new QLabel(this);
  unit_->setObjectName(QStringLiteral("tile_unit"));
  for (QWidget* w : {static_cast<QWidget*>(slot_), static_cast<QWidget*>(word_), static_cast<QWidget*>(bar_),
                     static_cast<QWidget*>(state_), static_cast<QWidget*>(counts_), static_cast<QWidget*>(unit_)}) {
    layout->addWidget(w);
  }
}

void StationTile::Show(const QString& word, Tone tone, int percent, const QString& state, const QString& counts,
                       const QString& unit) {
  word_->setText(word);
  bar_->setValue(percent);
  state_->setText(state);
  counts_->setText(counts);
  unit_->setText(unit);
  if (tone == tone_) return;
  tone_ = tone;
  // Green and red that read from across a room, white letters on them.
  QPalette p = QApplication::palette();
  if (tone == Tone::Pass || tone == Tone::Fail) {
    p.setColor(QPalette::Window, tone == Tone::Pass ? QColor(0x2e, 0x7d, 0x32) : QColor(0xc6, 0x28, 0x28));
    p.setColor(QPalette::WindowText, Qt::white);
  } else if (tone == Tone::Busy) {
    p.setColor(QPalette::Window, QColor(0xe3, 0xf2, 0xfd));
  }
  setPalette(p);
}

QString StationTile::Word() const { return word_->text(); }

void StationTile::mouseDoubleClickEvent(QMouseEvent* event) {
  if (onDoubleClick) onDoubleClick();
  QFrame::mouseDoubleClickEvent(event);
}

}  // namespace mervix
