// The signal layout and calibration editors, offscreen, against a scratch database holding
// the default plant, with a real service state connected to it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleOptionHeader>
#include <QTableView>
#include <QTest>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "acquisition/control_thread.h"
#include "app/load_config.h"
#include "app/service_jobs.h"
#include "app/window/calibration_page.h"
#include "app/window/signal_layout_page.h"
#include "app/window/window_test_support.h"
#include "plant/calibration.h"
#include "testing/test_database.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Points = std::vector<std::pair<double, double>>;

// Records the header cells a header paints (through the style, as every header paints), so
// a test sees what is written where.
class HeaderCellRecorder : public QProxyStyle {
 public:
  struct Cell {
    QString text;
    QRect rect;
  };
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override {
    if (element == CE_Header) {
      const auto* header = qstyleoption_cast<const QStyleOptionHeader*>(option);
      if (header != nullptr) cells.push_back({header->text, header->rect});
    }
    QProxyStyle::drawControl(element, option, painter, widget);
  }
  // Paints the header afresh and gives the cells that hold `text`.
  std::vector<Cell> Painted(QHeaderView* header, const QString& text) {
    cells.clear();
    header->setStyle(this);
    header->grab();
    std::vector<Cell> found;
    for (const Cell& cell : cells) {
      if (cell.text == text) found.push_back(cell);
    }
    return found;
  }
  mutable std::vector<Cell> cells;
};

class EditorsTest : public DbTest {
 protected:
  void SetUp() override {
    TestApplication();
    DbTest::SetUp();
    if (HasFatalFailure()) return;
    db_.InstallDefaultPlant();

    dir_ = fs::temp_directory_path() /
           ("kalvix_editors_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // No device lines here: acquisition runs on the emulators when a test needs it.
    const std::string none = (dir_ / "ttyNONE").string();
    std::ofstream(dir_ / "kalvixsrv.ini")
        << "[MySQL]\nComp=" << db_.Server().socketPath << "\n[main]\nModBUS_PortName=" << none
        << "\nV120_PortName=" << none << "\nVK_PortName=" << none << "\n";
    service_ = std::make_unique<ServiceState>(ResolveWorkingPaths(dir_ / "kalvixsrv.ini"));
    SetConnectionParam(service_->db.user, "Database", db_.Name());
    LoadConfig(*service_, {2, 10ms, 0ms, 200ms, {}, {}, {}});
    ASSERT_TRUE(service_->db.user.Connected());
    ASSERT_GT(service_->signals.SignalCount(), 0);
    DrainEvents();
  }
  void TearDown() override {
    if (service_) {
      StopControl(service_->acquisition);
      RunWindowUntil([&] { return service_->workers.Running() == 0; }, 5000);
      service_.reset();
    }
    fs::remove_all(dir_);
    DbTest::TearDown();
  }

  // Serves the window's events until done holds (the database thread serves the queues).
  bool RunWindowUntil(const std::function<bool()>& done, int timeoutMs) {
    return ProcessEventsUntil(done, timeoutMs);
  }

  Points StoredPoints(const std::string& name) {
    Points points;
    for (const auto& row : db_.Rows("select AVal, FVal from kalibr where SignalName='" + name +
                                    "' order by AVal, FVal")
                               .rows) {
      points.emplace_back(DbNumberOr(row[0], -1), DbNumberOr(row[1], -1));
    }
    return points;
  }
  static Points GridPoints(const DbTableModel& model) {
    Points points;
    for (int row = 0; row < model.rowCount(); ++row) {
      points.emplace_back(
          model.index(row, 0).data(Qt::EditRole).toString().replace(',', '.').toDouble(),
          model.index(row, 1).data(Qt::EditRole).toString().replace(',', '.').toDouble());
    }
    return points;
  }
  DbValue SignalColumn(const std::string& name, const std::string& column) {
    return db_.Value("select `" + column + "` from `signal` where SignalName='" + name + "'");
  }

  // The page shown with the signal `name` selected, as the operator picks it.
  void ShowCalibrations(CalibrationPage& page, const QString& name) {
    page.FillSignalNames();
    page.show();
    QComboBox* combo = page.ComboBoxSignalName();
    combo->setCurrentIndex(combo->findText(name));
    Q_EMIT combo->activated(combo->currentIndex());
    ASSERT_EQ(combo->currentText(), name);
  }
  static int RowOf(const DbTableModel& model, int column, const QString& text) {
    for (int row = 0; row < model.rowCount(); ++row) {
      if (model.index(row, column).data().toString() == text) return row;
    }
    return -1;
  }
  // Types text into a cell and presses Enter, as the operator does, or leaves the editor
  // open with the text in it.
  static void TypeInto(QAbstractItemView* view, const QModelIndex& cell, const QString& text,
                       bool enter = true) {
    view->setCurrentIndex(cell);
    if (view->indexWidget(cell) == nullptr) view->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(view->indexWidget(cell));
    ASSERT_NE(editor, nullptr);
    editor->clear();
    QTest::keyClicks(editor, text);
    if (enter) QTest::keyClick(editor, Qt::Key_Return);
    QApplication::processEvents();
  }

  fs::path dir_;
  std::unique_ptr<ServiceState> service_;
};

TEST_F(EditorsTest, ShowingCalibrationsSelectsTheFirstSignalWithItsPointsAscending) {
  const std::string first = service_->signals.SignalNames()[0];
  db_.Exec("delete from kalibr where SignalName='" + first + "'");
  db_.Exec("insert into kalibr values ('" + first + "', 20, 2), ('" + first + "', 4, 0.4), ('" +
           first + "', 12, 1.2)");
  CalibrationPage page(*service_);
  page.FillSignalNames();
  page.ComboBoxSignalName()->setCurrentIndex(3);
  page.resize(665, 420);
  page.show();

  EXPECT_EQ(page.ComboBoxSignalName()->count(), service_->signals.SignalCount());
  EXPECT_EQ(page.ComboBoxSignalName()->currentText().toStdString(), first);
  EXPECT_EQ(GridPoints(*page.ClientDataSetCalibrEdit()), (Points{{4, 0.4}, {12, 1.2}, {20, 2}}));
  EXPECT_EQ(page.findChild<QLabel*>("LabelSignalName")->text(), "Название сигнала:");
  const DbTableModel& model = *page.ClientDataSetCalibrEdit();
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Значение\nАппаратное");
  EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Значение\nФизическое");
  for (const char* name : {"ButAddRecord", "ButDelRecord", "ButSave"}) {
    auto* button = page.findChild<QPushButton*>(name);
    ASSERT_NE(button, nullptr) << name;
    EXPECT_TRUE(page.rect().contains(QRect(button->mapTo(&page, QPoint(0, 0)), button->size())))
        << name << " is not clipped at the page's size";
  }
}

// The point is stored at the moment it has both values, under the selected signal's name;
// the running set keeps its table until "Применить".
TEST_F(EditorsTest, AddedPointIsStoredWithTheSelectedSignalWhenPosted) {
  CalibrationPage page(*service_);
  ASSERT_NO_FATAL_FAILURE(ShowCalibrations(page, "PLS"));
  const Points before = StoredPoints("PLS");
  const int slot = service_->signals.SignalIndex("PLS");
  const int loadedPoints = service_->signals.Signals()[slot].calibration.PointCount;

  page.findChild<QPushButton*>("ButAddRecord")->click();
  QTableView* grid = page.DBGridEhKalibr();
  const int row = grid->currentIndex().row();
  ASSERT_EQ(row, page.ClientDataSetCalibrEdit()->rowCount() - 1);
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, grid->currentIndex(), "50"));
  EXPECT_EQ(StoredPoints("PLS"), before) << "no point is stored without its physical value";
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, page.ClientDataSetCalibrEdit()->index(row, 1), "48"));

  Points expected = before;
  expected.emplace_back(50, 48);
  EXPECT_EQ(StoredPoints("PLS"), expected);
  EXPECT_FALSE(page.ClientDataSetCalibrEdit()->HasNewRow());
  EXPECT_EQ(service_->signals.Signals()[slot].calibration.PointCount, loadedPoints);
}

// Of two identical points the one deleted goes, the other stays.
TEST_F(EditorsTest, DeletingARowDeletesExactlyThatRow) {
  db_.Exec("insert into kalibr values ('PLS', 8, 1.39)");
  const Points before = StoredPoints("PLS");
  CalibrationPage page(*service_);
  ASSERT_NO_FATAL_FAILURE(ShowCalibrations(page, "PLS"));
  DbTableModel& model = *page.ClientDataSetCalibrEdit();
  const int row = RowOf(model, 0, "8");
  ASSERT_GE(row, 0);
  page.DBGridEhKalibr()->setCurrentIndex(model.index(row, 0));
  page.findChild<QPushButton*>("ButDelRecord")->click();

  Points expected = before;
  expected.erase(std::find(expected.begin(), expected.end(), std::make_pair(8.0, 1.39)));
  EXPECT_EQ(StoredPoints("PLS"), expected);
  EXPECT_EQ(GridPoints(model), expected);
}

// A plant whose kalibr keeps its points as FLOAT: the server sends 6 digits of each, and the
// grid still finds the row it shows, for an edit, a second edit and a deletion.
TEST_F(EditorsTest, PointsOfAFloatTableAreEdited) {
  db_.Exec("alter table kalibr modify AVal FLOAT not null, modify FVal FLOAT not null");
  db_.Exec("insert into kalibr values ('PLS', 0.1, 1e0/3e0)");
  CalibrationPage page(*service_);
  ASSERT_NO_FATAL_FAILURE(ShowCalibrations(page, "PLS"));
  DbTableModel& model = *page.ClientDataSetCalibrEdit();
  QTableView* grid = page.DBGridEhKalibr();
  const auto rowOfPoint = [&] {
    const Points shown = GridPoints(model);
    for (size_t row = 0; row < shown.size(); ++row) {
      if (shown[row].first == 0.1) return static_cast<int>(row);
    }
    return -1;
  };
  const auto stored = [&] {
    return DbNumberOr(db_.Value("select FVal from kalibr where SignalName='PLS' and "
                                "CAST(AVal AS CHAR) = '0.1'"),
                      -1);
  };
  auto box = AnswerNextMessageBox(QMessageBox::Ok);  // answers a report, should one come

  ASSERT_GE(rowOfPoint(), 0);
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, model.index(rowOfPoint(), 1), "0.5"));
  EXPECT_EQ(stored(), 0.5);
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, model.index(rowOfPoint(), 1), "12345.678"));
  EXPECT_EQ(stored(), 12345.7) << "the server's 6 digits of the FLOAT";
  grid->setCurrentIndex(model.index(rowOfPoint(), 0));
  page.findChild<QPushButton*>("ButDelRecord")->click();
  EXPECT_EQ(stored(), -1) << "deleted";
  EXPECT_EQ(rowOfPoint(), -1);

  EXPECT_EQ(model.WriteFailures(), 0);
  ProcessEventsUntil([&] { return box->answered; }, 200);
  box->cancelled = true;
  EXPECT_FALSE(box->answered) << box->text.toStdString();
}

// Every editable cell of the layout grid is written at once; the running set keeps what it
// loaded. Names and directions cannot be changed.
TEST_F(EditorsTest, LayoutEditsAreWrittenAtOnce) {
  SignalLayoutPage page(*service_);
  page.OpenSignalTable();
  page.resize(665, 420);
  page.show();
  FrozenColumnTableView* grid = page.DBGridEhSigEdit();
  DbTableModel& model = *page.ClientDataSetSigEdit();
  ASSERT_EQ(model.rowCount(), service_->signals.SignalCount());
  const int row = RowOf(model, 1, "PLS");
  ASSERT_GE(row, 0);
  const int slot = service_->signals.SignalIndex("PLS");
  ASSERT_EQ(service_->signals.Signals()[slot].Kind, kKindFloat);

  // The kind, picked from its list: stored as its number.
  const QModelIndex kind = model.index(row, 4);
  EXPECT_EQ(kind.data().toString(), "FLOAT");
  grid->setCurrentIndex(kind);
  grid->edit(kind);
  auto* list = qobject_cast<QComboBox*>(grid->indexWidget(kind));
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->currentText(), "FLOAT");
  list->setCurrentIndex(3);
  Q_EMIT list->activated(3);
  EXPECT_EQ(DbNumberOr(SignalColumn("PLS", "Kind"), -1), 3);
  EXPECT_EQ(kind.data().toString(), "BIT");
  EXPECT_EQ(service_->signals.Signals()[slot].Kind, kKindFloat) << "until the next load";

  struct Case {
    int column;
    QVariant value;
    int role;
    const char* field;
    std::string stored;
  };
  const Case cases[] = {
      {0, "V120", Qt::EditRole, "BusName", "V120"},
      {2, "7", Qt::EditRole, "DevNum", "7"},
      {3, " 120 ", Qt::EditRole, "Addr", "120"},
      {5, Qt::Unchecked, Qt::CheckStateRole, "InverseBytes", "0"},
      {6, Qt::Unchecked, Qt::CheckStateRole, "InverseWords", "0"},
      {6, Qt::Checked, Qt::CheckStateRole, "InverseWords", "1"},
  };
  for (const Case& c : cases) {
    // The row may move when its BusName changes; find it by name each time.
    const int at = RowOf(model, 1, "PLS");
    EXPECT_TRUE(model.setData(model.index(at, c.column), c.value, c.role)) << c.field;
    EXPECT_EQ(DbToText(SignalColumn("PLS", c.field)), c.stored) << c.field;
  }
  EXPECT_FALSE(model.setData(model.index(row, 3), "abc")) << "no number";
  EXPECT_EQ(DbToText(SignalColumn("PLS", "Addr")), "120");

  for (int column : {1, 7}) {
    const QModelIndex cell = model.index(row, column);
    EXPECT_FALSE(model.flags(cell) & Qt::ItemIsEditable) << column;
    EXPECT_FALSE(model.setData(cell, "X")) << column;
  }
  EXPECT_EQ(DbToText(SignalColumn("PLS", "Direction")), "READ");
  EXPECT_EQ(page.findChildren<QPushButton*>().size(), 0) << "no row is added or deleted here";
  EXPECT_EQ(model.headerData(5, Qt::Horizontal).toString(), "Обратный порядок\nбайт");
  EXPECT_EQ(model.headerData(6, Qt::Horizontal).toString(), "Обратный порядок\nСлов");
}

// The two inverse-order columns share one upper header line, "Обратный порядок", as the two
// calibration columns share "Значение"; the lower lines stay each its own column's.
TEST_F(EditorsTest, PairedColumnsShareTheirUpperHeaderLine) {
  SignalLayoutPage layout(*service_);
  layout.OpenSignalTable();
  layout.resize(665, 420);
  layout.show();
  CalibrationPage calibrations(*service_);
  ASSERT_NO_FATAL_FAILURE(ShowCalibrations(calibrations, "PLS"));
  calibrations.resize(665, 420);

  struct Case {
    QHeaderView* header;
    int first;  // the pair's left column
    QString upper;
    QString lower[2];
  };
  const Case cases[] = {
      {layout.DBGridEhSigEdit()->horizontalHeader(), 5, "Обратный порядок", {"байт", "Слов"}},
      {calibrations.DBGridEhKalibr()->horizontalHeader(),
       0,
       "Значение",
       {"Аппаратное", "Физическое"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.upper.toStdString());
    // Wide enough to show the whole pair.
    c.header->window()->resize(1200, 420);
    const int left = c.header->sectionViewportPosition(c.first);
    const int right =
        c.header->sectionViewportPosition(c.first + 1) + c.header->sectionSize(c.first + 1);
    HeaderCellRecorder recorder;
    const auto upper = recorder.Painted(c.header, c.upper);
    ASSERT_FALSE(upper.empty()) << "the upper line is drawn";
    for (const auto& cell : upper) {
      EXPECT_EQ(cell.rect.left(), left);
      EXPECT_EQ(cell.rect.right() + 1, right) << "one cell over both columns";
      EXPECT_LT(cell.rect.bottom(), c.header->height() / 2 + 1);
    }
    for (int i = 0; i < 2; ++i) {
      const auto lower = recorder.Painted(c.header, c.lower[i]);
      ASSERT_EQ(lower.size(), 1u) << c.lower[i].toStdString();
      EXPECT_EQ(lower[0].rect.left(), c.header->sectionViewportPosition(c.first + i));
      EXPECT_EQ(lower[0].rect.width(), c.header->sectionSize(c.first + i));
      EXPECT_GT(lower[0].rect.top(), upper[0].rect.bottom() - 1);
    }
    EXPECT_TRUE(recorder.Painted(c.header, c.upper + "\n" + c.lower[0]).empty())
        << "no column repeats the upper line for itself";
    c.header->setStyle(nullptr);
  }
}

TEST_F(EditorsTest, ApplyAnsweredNoChangesNothing) {
  CalibrationPage page(*service_);
  ASSERT_NO_FATAL_FAILURE(ShowCalibrations(page, "PLS"));
  const Points before = StoredPoints("PLS");
  int reloaded = 0;
  QObject::connect(&page, &CalibrationPage::signalSetReloaded, [&] { ++reloaded; });

  auto seen = AnswerNextMessageBox(QMessageBox::No);
  page.findChild<QPushButton*>("ButSave")->click();
  ASSERT_TRUE(seen->answered);
  EXPECT_EQ(seen->title, "Калибровки");
  EXPECT_EQ(seen->text,
            "Для применения настроек понадобиться перезапуск\r\nпотока контроля аппаратуры.\r\n"
            "   Применить изменение настроек?");
  RunWindowUntil([] { return false; }, 1500);
  EXPECT_EQ(reloaded, 0);
  EXPECT_FALSE(page.Applying());
  EXPECT_FALSE(service_->control.ControlActive.load());
  EXPECT_EQ(service_->workers.Running(), 0);
  EXPECT_TRUE(DrainEvents().empty());
  EXPECT_EQ(DbNumberOr(db_.Value("select count(*) from control_log"), -1), 0);
  EXPECT_EQ(StoredPoints("PLS"), before);
}

// With acquisition stopped, "Применить" reloads the set and starts the control thread; the
// point added converts the next readings. The value still in its editor is posted first; a
// point still lacking a value is not stored.
TEST_F(EditorsTest, ApplyRestartsAcquisitionWithTheNewPoints) {
  ServiceState& s = *service_;
  s.control.JumoEmulFlag = true;
  s.control.V120EmulFlag = true;
  const int slot = s.signals.SignalIndex("PLS");
  s.signals.EmulatorValues.SetSlot(slot, 11);
  ASSERT_FALSE(s.control.ControlActive.load());

  CalibrationPage page(s);
  ASSERT_NO_FATAL_FAILURE(ShowCalibrations(page, "PLS"));
  QTableView* grid = page.DBGridEhKalibr();
  DbTableModel& model = *page.ClientDataSetCalibrEdit();
  page.findChild<QPushButton*>("ButAddRecord")->click();
  int row = grid->currentIndex().row();
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, model.index(row, 0), "13"));
  page.findChild<QPushButton*>("ButAddRecord")->click();
  EXPECT_EQ(grid->currentIndex().row(), row) << "the point waiting for a value is taken up";
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, model.index(row, 0), "11"));
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, model.index(row, 1), "1,5", false));
  Points stored = StoredPoints("PLS");
  ASSERT_EQ(std::find(stored.begin(), stored.end(), std::make_pair(11.0, 1.5)), stored.end());
  page.findChild<QPushButton*>("ButAddRecord")->click();
  row = grid->currentIndex().row();
  ASSERT_NO_FATAL_FAILURE(TypeInto(grid, model.index(row, 0), "13"));
  stored = StoredPoints("PLS");
  ASSERT_NE(std::find(stored.begin(), stored.end(), std::make_pair(11.0, 1.5)), stored.end())
      << "adding a row posts the one being typed";

  int reloaded = 0;
  QObject::connect(&page, &CalibrationPage::signalSetReloaded, [&] { ++reloaded; });
  auto seen = AnswerNextMessageBox(QMessageBox::Yes);
  page.findChild<QPushButton*>("ButSave")->click();
  ASSERT_TRUE(seen->answered);
  EXPECT_TRUE(page.Applying());
  ASSERT_TRUE(RunWindowUntil([&] { return reloaded == 1; }, 5000));
  EXPECT_EQ(StoredPoints("PLS"), stored) << "the point without its physical value is dropped";
  EXPECT_EQ(page.ComboBoxSignalName()->currentText(), "PLS") << "the selection is kept";
  EXPECT_EQ(GridPoints(model), stored);

  const CalibrationTable& table = s.signals.Signals()[slot].calibration;
  EXPECT_DOUBLE_EQ(CalibrateValue(11, &table), 1.5);
  // The counters and values of the run before the apply stay until the restarted thread
  // clears them, and a cycle is counted when it begins: wait for the new conversion itself.
  EXPECT_TRUE(RunWindowUntil(
      [&] {
        return s.control.CycleCounter.load() - s.control.ErrorCounter.load() >= 1 &&
               std::abs(s.signals.InstantValues.Slot(slot) - 1.5) < 1e-9;
      },
      15000))
      << "the control thread runs cycles again";
  EXPECT_DOUBLE_EQ(s.signals.InstantValues.Slot(slot), 1.5);

  const std::vector<std::string> events = DrainEvents();
  const std::vector<std::string> steps = {"=== В калибровочные таблицы внесены изменения. ===",
                                          "Поток контроля останавливается для применения настроек",
                                          "Загружаем новые калибровки...",
                                          "Запускаем поток приема..."};
  auto at = events.begin();
  for (const std::string& step : steps) {
    at = std::find(at, events.end(), step);
    EXPECT_NE(at, events.end()) << step;
  }
  // The database thread writes the row once the restarted control thread has reopened the
  // work connection.
  EXPECT_TRUE(RunWindowUntil(
      [&] {
        return DbNumberOr(
                   db_.Value("select count(*) from control_log where MessageText="
                             "'!!! Изменены калибровки !!!' and MessageKind='СЛУЖБА ПРИЕМА'"),
                   -1) == 1;
      },
      5000));
}

// A write the database refuses, or that finds its row changed by another program, is
// reported, and the grid shows what is stored.
TEST_F(EditorsTest, FailedWriteIsReportedAndTheGridShowsTheStoredRow) {
  struct Case {
    const char* name;
    const char* meanwhile;  // another program's change before the edit is posted
    const char* typed;      // into DevNum of PLS
    const char* addr;       // what the grid then shows
  };
  const Case cases[] = {
      {"value refused", "", "99999", "53"},
      {"row changed meanwhile", "update `signal` set Addr = 77 where SignalName = 'PLS'", "5",
       "77"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignalLayoutPage page(*service_);
    page.OpenSignalTable();
    page.show();
    DbTableModel& model = *page.ClientDataSetSigEdit();
    const int row = RowOf(model, 1, "PLS");
    ASSERT_GE(row, 0);
    if (*c.meanwhile != '\0') db_.Exec(c.meanwhile);

    auto seen = AnswerNextMessageBox(QMessageBox::Ok);
    EXPECT_FALSE(model.setData(model.index(row, 2), c.typed));
    ASSERT_TRUE(ProcessEventsUntil([&] { return seen->answered; }, 5000));
    EXPECT_EQ(seen->title, "Ошибка");
    const int now = RowOf(model, 1, "PLS");
    ASSERT_GE(now, 0);
    EXPECT_EQ(model.index(now, 2).data().toString(), "1");
    EXPECT_EQ(model.index(now, 3).data().toString(), c.addr);
    EXPECT_EQ(DbToText(SignalColumn("PLS", "DevNum")), "1");
  }
}

}  // namespace
}  // namespace kalvix
