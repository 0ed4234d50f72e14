#include "resources/CommandLineMessages.h"
#include "resources/MessageEntry.h"
#include "resources/MessageTable.h"

namespace mervix {
namespace {

// Identifiers 401 on, in order.
constexpr MessageEntry kCommandLineMessages[] = {
    {401, "IDS_CLI_STOPPING", "Stopping after the block in flight (Ctrl-C again ends at once)",
     "送信中のﾌﾞﾛｯｸの後で中止します (もう一度 Ctrl-C を押すとすぐに終了)"},
    {402, "IDS_CLI_RETRY", "Retry %1 of %2 in %3 s after: %4", "%3 秒後に再試行します (%1/%2): %4"},
    {403, "IDS_CLI_IMAGE", "Image %1: %2 bytes, SHA-256 %3", "ｲﾒｰｼﾞ %1: %2 ﾊﾞｲﾄ, SHA-256 %3"},
    {404, "IDS_CLI_SENT_PROOF",
     "The bytes sent equal the file (SHA-256 %1) and the device acknowledged every block",
     "送信したﾃﾞｰﾀはﾌｧｲﾙと一致し (SHA-256 %1)、全ﾌﾞﾛｯｸがﾃﾞﾊﾞｲｽに受理されました"},
    {405, "IDS_CLI_SENT_DIFFERS", "The bytes sent (SHA-256 %1) differ from the file now (SHA-256 %2)",
     "送信したﾃﾞｰﾀ (SHA-256 %1) は現在のﾌｧｲﾙ (SHA-256 %2) と異なります"},
    {406, "IDS_CLI_STOPPING_NOW", "Ending at once", "すぐに終了します"},
    {407, "IDS_CLI_PROBE_NORMAL", "%1: normal mode (status 1)", "%1: 通常ﾓｰﾄﾞ (ｽﾃｰﾀｽ 1)"},
    {408, "IDS_CLI_PROBE_DOWNLOAD", "%1: download mode (status %2)", "%1: ﾀﾞｳﾝﾛｰﾄﾞﾓｰﾄﾞ (ｽﾃｰﾀｽ %2)"},
    {409, "IDS_CLI_PROBE_REFUSED", "%1: refused, flags %2", "%1: 拒否されました, ﾌﾗｸﾞ %2"},
    {410, "IDS_CLI_FLEET_CONFIRM", "Permanent write to %1 devices with %2! Continue?",
     "%1 台のﾃﾞﾊﾞｲｽに %2 を書き込みます。よろしいですか?"},
    {411, "IDS_CLI_FLEET_SUMMARY", "%1 devices: %2 finished, %3 refused, %4 failed, %5 stopped",
     "%1 台: 完了 %2, 拒否 %3, 失敗 %4, 中止 %5"},
    {412, "IDS_CLI_FLEET_CAUSE", "  %1 x %2 (exit code %3)", "  %1 台 %2 (終了ｺｰﾄﾞ %3)"},
    {413, "IDS_CLI_FLEET_TOTAL", "%1 devices: %2 finished, %3 not finished, %4 running, %5 waiting",
     "%1 台: 完了 %2, 未完了 %3, 実行中 %4, 待機 %5"},
    {414, "IDS_CLI_FLEET_MORE", "... and %1 more", "... 他 %1 台"},
    {415, "IDS_CLI_FLEET_WAITING", "Waiting", "待機中"},
    {416, "IDS_CLI_HALTED_BUDGET", "Failure budget reached: %1 devices failed; no further device starts",
     "失敗の上限に達しました: %1 台が失敗しました。これ以上の機器は開始しません"},
    {417, "IDS_CLI_HALTED_CANARY", "The canary did not finish: no further device starts",
     "ｶﾅﾘｱが完了しませんでした。これ以上の機器は開始しません"},
    {418, "IDS_CLI_NOT_STARTED_BUDGET", "Not started: the failure budget was reached", "未開始: 失敗の上限に達しました"},
    {419, "IDS_CLI_NOT_STARTED_CANARY", "Not started: the canary did not finish", "未開始: ｶﾅﾘｱが完了しませんでした"},
    {420, "IDS_CLI_PINNED_MISMATCH", "Image %1 is not the one expected: its SHA-256 is %2, expected %3. Nothing was sent.",
     "ｲﾒｰｼﾞ %1 が想定と異なります: SHA-256 %2 (想定 %3)。何も送信していません。"},
    {421, "IDS_CLI_LEDGER_SKIPPED", "%1 devices already finished with this image: not written again",
     "%1 台はこのｲﾒｰｼﾞで完了済みです。再び書き込みません"},
    {422, "IDS_CLI_LEDGER_NOT_FAILED", "%1 devices did not fail in %2: left out",
     "%1 台は %2 で失敗していないため対象外です"},
    {423, "IDS_CLI_LEDGER_CUT", "%1, line %2: not a record (cut short?), ignored",
     "%1 の %2 行目は記録ではありません (途中で切れた?)。無視します"},
    {424, "IDS_CLI_REPORT_SKIPPED", "%1: line %2 skipped: not the record of a device run",
     "%1: %2 行目はﾃﾞﾊﾞｲｽの実行記録ではないため読み飛ばしました"},
    {425, "IDS_CLI_REPORT_SUMMARY", "%1 devices: %2 finished, %3 not finished", "%1 台: 完了 %2, 未完了 %3"},
    {426, "IDS_CLI_REPORT_BY_CAUSE", "By cause:", "原因別:"},
    {427, "IDS_CLI_REPORT_CAUSE_LINE", "  %1  %2 (%3)", "  %1 台  %2 (%3)"},
    {428, "IDS_CLI_REPORT_BY_GROUP", "By group:", "ｸﾞﾙｰﾌﾟ別:"},
    {429, "IDS_CLI_REPORT_GROUP_LINE", "  %1: %2 devices, %3 finished, %4 not finished", "  %1: %2 台, 完了 %3, 未完了 %4"},
    {430, "IDS_CLI_REPORT_NO_GROUP", "(no group)", "(ｸﾞﾙｰﾌﾟなし)"},
    {431, "IDS_CLI_REPORT_DURATION", "Duration: median %1, slowest %2 (%3)", "所要時間: 中央値 %1, 最長 %2 (%3)"},
    {432, "IDS_CLI_REPORT_RETURN", "Return after the write: median %1, slowest %2 (%3)",
     "書き込み後の復帰: 中央値 %1, 最長 %2 (%3)"},
    {433, "IDS_CLI_REPORT_NOT_FINISHED", "Not finished:", "未完了:"},
    {434, "IDS_CLI_REPORT_NO_DEVICE", "No device run in %1", "%1 にﾃﾞﾊﾞｲｽの実行記録がありません"},
    {435, "IDS_CLI_REPORT_UNREADABLE", "The record cannot be read: %1", "記録を読み込めません: %1"},
    {436, "IDS_CLI_REPORT_UNWRITABLE", "The report cannot be written: %1", "ﾚﾎﾟｰﾄを書き込めません: %1"},
    {437, "IDS_CLI_REPORT_WRITTEN", "Written: %1", "書き出しました: %1"},
    {438, "IDS_CLI_REPORT_SECONDS", "%1 s", "%1 秒"},
    {439, "IDS_CLI_REPORT_TITLE", "Roll-out report", "書き込み結果ﾚﾎﾟｰﾄ"},
    {440, "IDS_CLI_REPORT_SOURCE", "Record %1: %2 runs of %3 devices, started %4 to %5",
     "記録 %1: %3 台で %2 回の実行, 開始 %4 ～ %5"},
    {441, "IDS_CLI_REPORT_DEVICES", "Devices", "ﾃﾞﾊﾞｲｽ"},
    {442, "IDS_CLI_REPORT_FINISHED", "Finished", "完了"},
    {443, "IDS_CLI_REPORT_UNFINISHED", "Not finished", "未完了"},
    {444, "IDS_CLI_REPORT_MEDIAN", "Median duration", "所要時間の中央値"},
    {445, "IDS_CLI_REPORT_SLOWEST", "Slowest", "最長"},
    {446, "IDS_CLI_REPORT_CAUSE_CHART", "Outcomes by cause", "原因別の結果"},
    {447, "IDS_CLI_REPORT_GROUP_CHART", "Outcomes by group", "ｸﾞﾙｰﾌﾟ別の結果"},
    {448, "IDS_CLI_REPORT_TABLE", "Devices (click a column heading to sort)", "ﾃﾞﾊﾞｲｽ一覧 (列見出しをｸﾘｯｸすると並べ替えます)"},
    {449, "IDS_CLI_REPORT_ONLY_UNFINISHED", "Only devices not finished", "未完了のﾃﾞﾊﾞｲｽのみ表示"},
    {450, "IDS_CLI_REPORT_COL_DEVICE", "Device", "ﾃﾞﾊﾞｲｽ"},
    {451, "IDS_CLI_REPORT_COL_NAME", "Name", "名前"},
    {452, "IDS_CLI_REPORT_COL_GROUP", "Group", "ｸﾞﾙｰﾌﾟ"},
    {453, "IDS_CLI_REPORT_COL_CAUSE", "Cause", "原因"},
    {454, "IDS_CLI_REPORT_COL_EXIT", "Exit code", "終了ｺｰﾄﾞ"},
    {455, "IDS_CLI_REPORT_COL_START", "Start (UTC)", "開始 (UTC)"},
    {456, "IDS_CLI_REPORT_COL_DURATION", "Duration (s)", "所要時間 (秒)"},
    {457, "IDS_CLI_REPORT_COL_RETURN", "Return (s)", "復帰 (秒)"},
    {458, "IDS_CLI_REPORT_COL_RETRIES", "Retries", "再試行"},
    {459, "IDS_CLI_REPORT_COL_FAILURE", "Failure", "失敗の内容"},
    {460, "IDS_CLI_CAUSE_FINISHED", "finished", "完了"},
    {461, "IDS_CLI_CAUSE_UNKNOWN", "outcome unknown (last block sent, no Ack)", "結果不明 (最終ﾌﾞﾛｯｸ送信後に応答なし)"},
    {462, "IDS_CLI_CAUSE_LINK", "protocol or link failure", "ﾌﾟﾛﾄｺﾙまたは通信の障害"},
    {463, "IDS_CLI_CAUSE_TIMEOUT", "no answer in time", "時間内に応答なし"},
    {464, "IDS_CLI_CAUSE_CONNECT", "cannot connect", "接続できません"},
    {465, "IDS_CLI_CAUSE_INPUT", "input file error", "入力ﾌｧｲﾙのｴﾗｰ"},
    {466, "IDS_CLI_CAUSE_REFUSED", "refused by the device", "ﾃﾞﾊﾞｲｽが拒否"},
    {467, "IDS_CLI_CAUSE_STOPPED", "stopped or cancelled", "中止またはｷｬﾝｾﾙ"},
    {468, "IDS_CLI_CAUSE_USAGE", "usage error", "使用方法の誤り"},
    {469, "IDS_CLI_CAUSE_FAILURE", "failed", "失敗"},
    {470, "IDS_CLI_CAUSE_BUDGET", "not started (the roll-out halted)", "未開始 (ﾛｰﾙｱｳﾄ中断)"},
    {471, "IDS_CLI_CAUSE_NOT_RETURNED", "did not come back after the write", "書き込み後に復帰せず"},
    {472, "IDS_CLI_NOT_RETURNED", "The device did not come back in normal mode in time",
     "ﾃﾞﾊﾞｲｽが時間内に通常ﾓｰﾄﾞに戻りませんでした"},
    {473, "IDS_CLI_PLAN_HEADER", "DEVICE: ANSWER | NAME | GROUP | IMAGE | SHA-256 | VERSION | A RUN WOULD",
     "ﾃﾞﾊﾞｲｽ: 応答 | 名前 | ｸﾞﾙｰﾌﾟ | ｲﾒｰｼﾞ | SHA-256 | ﾊﾞｰｼﾞｮﾝ | 実行すると"},
    {474, "IDS_CLI_PLAN_WRITE", "write it", "書き込みます"},
    {475, "IDS_CLI_PLAN_DONE", "skip it: already finished", "書き込みません: 完了済み"},
    {476, "IDS_CLI_PLAN_NOT", "not write it", "書き込みません"},
    {477, "IDS_CLI_PLAN_SUMMARY", "%1 devices: %2 would be written, %3 finished already, %4 would not be written",
     "%1 台: 書き込み %2 台, 完了済み %3 台, 書き込めない %4 台"},
    {478, "IDS_CLI_STATION_CONFIRM", "Permanent write of %1 to every new unit at %2 slots! Continue?",
     "%2 ｽﾛｯﾄの新しいﾕﾆｯﾄすべてに %1 を書き込みます。よろしいですか?"},
    {479, "IDS_CLI_STATION_STOPPING",
     "Stopping: no new unit starts, the units being written finish (Ctrl-C again stops them after their block in "
     "flight)",
     "中止します: 新しいﾕﾆｯﾄは開始せず、書き込み中のﾕﾆｯﾄは最後まで書き込みます (もう一度 Ctrl-C を押すと送信中のﾌﾞﾛｯｸの後で中止)"},
    {480, "IDS_CLI_STATION_CUTTING", "Stopping the units being written after their block in flight (Ctrl-C again "
     "ends at once)",
     "書き込み中のﾕﾆｯﾄを送信中のﾌﾞﾛｯｸの後で中止します (もう一度 Ctrl-C を押すとすぐに終了)"},
    {481, "IDS_CLI_STATION_UNIT", "#%1 %2 %3 %4 MAC %5 %6 s%7", "#%1 %2 %3 %4 MAC %5 %6 秒%7"},
    {482, "IDS_CLI_PASS", "PASS", "合格"},
    {483, "IDS_CLI_FAIL", "FAIL", "不合格"},
    {484, "IDS_CLI_STATION_SUMMARY", "%1 units: %2 passed, %3 failed", "%1 台: 合格 %2, 不合格 %3"},
    {485, "IDS_CLI_STATION_SLOT", "  %1: %2 passed, %3 failed", "  %1: 合格 %2, 不合格 %3"},
    {486, "IDS_CLI_SLOT_WAITING", "waiting for a unit", "ﾕﾆｯﾄ待ち"},
    {487, "IDS_CLI_SLOT_PRESENT", "a unit is there: press Start", "ﾕﾆｯﾄあり: 開始を押してください"},
    {488, "IDS_CLI_SLOT_WRITING", "writing unit #%1", "ﾕﾆｯﾄ #%1 書き込み中"},
    {489, "IDS_CLI_SLOT_PASSED", "PASS #%1: take the unit away", "合格 #%1: ﾕﾆｯﾄを外してください"},
    {490, "IDS_CLI_SLOT_FAILED", "FAIL #%1: take the unit away", "不合格 #%1: ﾕﾆｯﾄを外してください"},
    {491, "IDS_CLI_SLOT_AGAIN", "written already: take the unit away", "書き込み済み: ﾕﾆｯﾄを外してください"},
    {492, "IDS_CLI_SLOT_STOPPED", "stopped", "停止"},
    {493, "IDS_CLI_STATION_ONE_IMAGE", "a station writes one image to every unit; the slots name %1",
     "ｽﾃｰｼｮﾝはすべてのﾕﾆｯﾄに同じｲﾒｰｼﾞを書き込みます。ｽﾛｯﾄが指定したｲﾒｰｼﾞ: %1"},
};

static_assert(sizeof(kCommandLineMessages) / sizeof(kCommandLineMessages[0]) ==
                  kLastCommandLineMessageId - kFirstCommandLineMessageId + 1,
              "the command line's table holds every identifier from 401 on");

}  // namespace

MessageRange CommandLineMessageEntries() {
  return {kCommandLineMessages, sizeof(kCommandLineMessages) / sizeof(kCommandLineMessages[0])};
}

}  // namespace mervix

namespace mervix {

std::string FormatCommandLineText(std::uint16_t id, const std::vector<std::string>& arguments) {
  const std::string text = GetMessageText(id);
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      const std::size_t n = static_cast<std::size_t>(text[i + 1] - '1');
      if (n < arguments.size()) result += arguments[n];
      ++i;
    } else {
      result.push_back(text[i]);
    }
  }
  return result;
}

}  // namespace mervix
