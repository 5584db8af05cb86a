// The real main window, offscreen, over the service against the simulated plant and the
// private MariaDB server, driven through its controls as an operator would.
#include "app/window/form_main.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "app/config_file.h"
#include "app/display_format.h"
#include "app/window/bus_ledger_panel.h"
#include "app/window/emulator_page.h"
#include "app/window/plant_state_page.h"
#include "app/window/settings_page.h"
#include "app/window/status_page.h"
#include "app/window/task_page.h"
#include "app/window/value_grid.h"
#include "app/window/window_test_support.h"
#include "plant/calibration.h"
#include "testing/tcp_listeners.h"
#include "testing/test_database.h"
#include "tools/plantsim/plant_simulator.h"
#include "util/number_format.h"
#include "util/profile_file.h"

namespace kalvix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using plantsim::Line;

class FormMainTest : public DbTest {
 protected:
  void SetUp() override {
    TestApplication();
    DbTest::SetUp();
    if (HasFatalFailure()) return;
    db_.InstallDefaultPlant();

    std::string error;
    ASSERT_TRUE(plant_.Start(&error)) << error;
    dir_ = fs::temp_directory_path() / ("kalvix_window_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "kalvixsrv.ini")
        << "[main]\nModBUS_PortName=" << plant_.PortPath(Line::kModbus)
        << "\nV120_PortName=" << plant_.PortPath(Line::kVision)
        << "\nVK_PortName=" << plant_.PortPath(Line::kBk003)
        << "\nAverageLen=3\nMaxWriteCount=1\nShowEmulTab=1\n"
        << "[MySQL]\nComp=" << db_.Server().socketPath << "\nDatabaseSize=240\n";
    service_ = std::make_unique<ServiceState>(ResolveWorkingPaths(dir_ / "kalvixsrv.ini"));
    SetConnectionParam(service_->db.user, "Database", db_.Name());
    DrainEvents();
    window_ = std::make_unique<TFormMain>(*service_, QuickLoadConfigTiming());
    window_->show();
    ASSERT_TRUE(ProcessEventsUntil([&] { return service_->startup.StartupTick >= 10; }, 15000));
    ASSERT_EQ(service_->signals.SignalCount(), 27);
  }
  void TearDown() override {
    if (window_ && !window_->Ended()) window_->RequestEnd();
    window_.reset();
    service_.reset();
    plant_.Stop();
    fs::remove_all(dir_);
    DbTest::TearDown();
  }

  template <typename W>
  W* Find(const char* name) {
    W* widget = window_->findChild<W*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void Click(const char* button) { QTest::mouseClick(Find<QAbstractButton>(button), Qt::LeftButton); }
  void Type(const char* edit, const QString& text) {
    auto* e = Find<QLineEdit>(edit);
    e->clear();
    QTest::keyClicks(e, text);
  }
  bool Until(const std::function<bool()>& done, int ms = 15000) {
    return ProcessEventsUntil(done, ms);
  }
  std::vector<std::string> Journal() {
    std::vector<std::string> texts;
    for (const auto& row : db_.Rows("select MessageText, MessageKind from control_log").rows) {
      texts.push_back(DbToText(row[0]) + " | " + DbToText(row[1]));
    }
    return texts;
  }
  bool Journaled(const std::string& textAndSource) {
    const auto rows = Journal();
    return std::find(rows.begin(), rows.end(), textAndSource) != rows.end();
  }
  int Slot(const char* name) { return service_->signals.SignalIndex(name); }

  plantsim::PlantSimulator plant_;
  fs::path dir_;
  std::unique_ptr<ServiceState> service_;
  std::unique_ptr<TFormMain> window_;
};

TEST_F(FormMainTest, FrameAndPages) {
  EXPECT_EQ(window_->windowTitle(), "Служба приема KALVIX  1.20");
  EXPECT_EQ(window_->size(), QSize(673, 493));
  QTabWidget* pages = window_->PageControl;
  const char* captions[] = {"Настройки",  "Текущее состояние", "Планировка сигналов", "Эмулятор",
                            "Состояние ПУ", "Калибровки",       "Задания"};
  ASSERT_EQ(pages->count(), 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(pages->tabText(i), captions[i]);
  EXPECT_EQ(pages->currentWidget(), window_->TabSheet2);
  EXPECT_TRUE(pages->isTabVisible(3));  // ShowEmulTab=1, applied by the settings load
  // The settings page was filled from the loaded settings.
  EXPECT_EQ(Find<QLineEdit>("EditDatabaseSize")->text(), "240");
  EXPECT_EQ(Find<QLineEdit>("EditModBUS_PortName")->text(),
            QString::fromStdString(plant_.PortPath(Line::kModbus)));
  // Never polled: empty times, no errors; stopped: icon 0.
  QTableWidget* grid = Find<QTableWidget>("StringGrid_state");
  EXPECT_EQ(CellText(grid, 1, 0), " JUMO 1");
  EXPECT_EQ(CellText(grid, 4, 0), "BK-003");
  EXPECT_EQ(CellText(grid, 1, 1), "");
  EXPECT_EQ(CellText(grid, 1, 2), "0");
  EXPECT_EQ(window_->TrayIconIndexShown(), 0);
  EXPECT_EQ(window_->TrayHint(), "Служба приема KALVIX.\nКонтроль остановлен.");
}

TEST_F(FormMainTest, StartPollShowTasksAndStop) {
  StatusPage* status = window_->TabSheet2;
  EXPECT_EQ(status->LabelThreadInfo->text(), "Остановлен");
  EXPECT_TRUE(status->ButStart->isEnabled());
  EXPECT_FALSE(status->ButStop->isEnabled());

  Click("ButStart");
  ASSERT_TRUE(Until([&] { return status->LabelThreadInfo->text() == "Активен"; }));
  EXPECT_FALSE(status->ButStart->isEnabled());
  EXPECT_TRUE(status->ButStop->isEnabled());

  // The simulated devices answer: every module shows a good exchange.
  QTableWidget* grid = status->StringGrid_state;
  ASSERT_TRUE(Until([&] {
    for (int row = 1; row <= 4; ++row) {
      if (CellText(grid, row, 1).isEmpty()) return false;
    }
    return service_->control.CycleCounter.load() >= 3;
  }, 20000));
  EXPECT_EQ(CellText(grid, 1, 1).size(), 19);  // dd.mm.yyyy hh:nn:ss
  EXPECT_NE(status->Label_jumo_cycle_count->text(), "0");
  EXPECT_TRUE(Until([&] { return status->LabelCycleCounter->text().toInt() >= 3; }, 2000));
  EXPECT_TRUE(status->LabelWorkTime->text().startsWith("00:00:"));
  // The icon blinks with the cycles.
  std::set<int> icons;
  ASSERT_TRUE(Until([&] {
    icons.insert(window_->TrayIconIndexShown());
    return icons.count(1) && icons.count(2);
  }, 10000));
  EXPECT_EQ(window_->TrayHint(), "Служба приема KALVIX.\nПоток контроля активен.");

  // A silent JUMO 2 is counted in its own row only.
  plantsim::FaultSet silent;
  silent.silent = true;
  plant_.SetFault(plantsim::DeviceId::kJumo2, silent);
  ASSERT_TRUE(Until([&] { return CellText(grid, 2, 2).toInt() >= 1; }, 15000));
  EXPECT_EQ(CellText(grid, 1, 2), "0");
  plant_.SetFault(plantsim::DeviceId::kJumo2, plantsim::FaultSet{});

  // A task entered on its page reaches the JUMO as a write and the journal as a row.
  window_->PageControl->setCurrentWidget(window_->TabSheetControl);
  Type("Edit_PLSZ", "1,55");
  Type("Edit_TNZ", "360");
  Click("ButSetNewControl");
  window_->TabSheetControl->Edit_PLSZ->clear();  // shown again once the task is applied
  EXPECT_TRUE(Until([&] {
    return Journaled("Новое задание: Плотность=" + FormatDisplay(1.55) +
                     ", Нагрузка=360 | СЛУЖБА ПРИЕМА");
  })) << ::testing::PrintToString(Journal());
  const auto wrote = [&](const char* signal, double value) {
    for (const auto& w : plant_.Writes()) {
      if (w.signal == signal && std::abs(w.value - value) < 1e-6) return true;
    }
    return false;
  };
  ASSERT_TRUE(Until([&] { return wrote("_PLSZ", 1.55) && wrote("_TNZ", 360); }, 15000))
      << plant_.FormatWrites();
  // The task page shows the applied task within ten cycles.
  ASSERT_TRUE(Until([&] {
    return window_->TabSheetControl->Edit_PLSZ->text() ==
           QString::fromStdString(FormatFixed(1.55, 2));
  }, 15000));
  EXPECT_EQ(window_->TabSheetControl->Edit_TNZ->text(), "360");
  EXPECT_EQ(window_->TabSheetControl->LabelControlTime->text().size(), 19);

  Click("ButStop");
  ASSERT_TRUE(Until([&] { return status->LabelThreadInfo->text() == "Остановлен"; }));
  EXPECT_TRUE(status->ButStart->isEnabled());
  EXPECT_FALSE(status->ButStop->isEnabled());
  EXPECT_EQ(status->LabelWorkTime->text(), "");
  EXPECT_EQ(window_->TrayIconIndexShown(), 0);
}

// The panel beside the module grid shows the bus ledger of the module whose row was clicked
// last: that module's figures and no other's, and what is recorded later with the page's
// refresh. The grid itself keeps its texts and selects nothing.
TEST_F(FormMainTest, ModuleRowShowsItsBusLedger) {
  StatusPage* status = window_->TabSheet2;
  BusLedgerPanel* panel = status->PanelBusLedger;
  QTableWidget* grid = status->StringGrid_state;
  const auto gridTexts = [&] {
    QStringList texts;
    for (int r = 0; r < grid->rowCount(); ++r) {
      for (int c = 0; c < grid->columnCount(); ++c) texts << CellText(grid, r, c);
    }
    return texts;
  };
  const QStringList designedTexts = gridTexts();

  // Beside the grid, which stays in its place, inside the page, with every caption and value
  // whole (none squeezed below the width of its text).
  const QRect gridPlace = grid->geometry();
  const auto laidOut = [&] {
    for (const QLabel* label : panel->findChildren<QLabel*>()) {
      if (label->width() < label->sizeHint().width()) return false;
    }
    return grid->geometry() == gridPlace && !panel->geometry().intersects(gridPlace) &&
           status->rect().contains(panel->geometry()) &&
           panel->height() >= panel->sizeHint().height();
  };
  EXPECT_TRUE(laidOut());

  // Nothing clicked yet: the first module.
  EXPECT_EQ(panel->LabelBusModule->text(), "Обменов с JUMO 1:");

  // The time shown has whole seconds: the second before the records or the one after them.
  const auto recorded = [](const std::function<void()>& record) {
    const auto second = [] { return FormatDateTime("dd.mm.yyyy hh:nn:ss", Now()); };
    const std::string from = second();
    record();
    return std::pair{QString::fromStdString(from), QString::fromStdString(second())};
  };
  // JUMO 2: 40 answers in 2 ms, 10 in 9.6 ms, the latest in 3.4 ms (p50 is the 26th of 51).
  const auto jumo2Time = recorded([&] {
    BusLedger& l = service_->busLedgers[kModuleJumo2];
    for (int i = 0; i < 40; ++i) l.RecordGood(2000us);
    for (int i = 0; i < 10; ++i) l.RecordGood(9600us);
    l.RecordGood(3400us);
    for (int i = 0; i < 3; ++i) l.RecordFault(BusFault::kTimeout);
    l.RecordFault(BusFault::kChecksum);
    l.RecordReopening();
    l.RecordReopening();
  });
  const auto bkTime = recorded([&] {
    BusLedger& l = service_->busLedgers[kModuleBk003];
    for (int i = 0; i < 3; ++i) l.RecordGood(150000us);
    for (int i = 0; i < 4; ++i) l.RecordFault(BusFault::kIncomplete);
    for (int i = 0; i < 5; ++i) l.RecordFault(BusFault::kWrongPeer);
    l.RecordFault(BusFault::kDeviceError);
    for (int i = 0; i < 2; ++i) l.RecordFault(BusFault::kIoError);
    l.RecordReopening();
  });
  // V-120: a count of eight digits beside one of the longest captions.
  BusLedger& v120 = service_->busLedgers[kModuleV120];
  for (int i = 0; i < 12345678; ++i) v120.RecordFault(BusFault::kChecksum);
  const std::pair<QString, QString> never{"", ""};

  const auto ms = [](double x) {
    return x < 0 ? QString() : QString::fromStdString(FormatFixed(x, 1));
  };
  struct Case {
    int row, column;  // the cell clicked
    const char* module;
    const char* exchanges;
    double last, p50, p99;                           // round-trips in ms; -1: none shown
    std::array<const char*, kBusFaultCount> faults;  // in BusFault order
    const char* reopenings;
    const std::pair<QString, QString>* lastGood;
  };
  const Case cases[] = {
      {2, 0, "JUMO 2", "55", 3.4, 2, 9.6, {"3", "0", "1", "0", "0", "0"}, "2", &jumo2Time},
      {4, 1, "BK-003", "15", 150, 150, 150, {"0", "4", "0", "5", "1", "2"}, "1", &bkTime},
      // The title row chooses nothing: BK-003 stays.
      {0, 1, "BK-003", "15", 150, 150, 150, {"0", "4", "0", "5", "1", "2"}, "1", &bkTime},
      {3, 0, "V-120", "12345678", -1, -1, -1, {"0", "0", "12345678", "0", "0", "0"}, "0", &never},
      {1, 2, "JUMO 1", "0", -1, -1, -1, {"0", "0", "0", "0", "0", "0"}, "0", &never},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "row " << c.row << ", column " << c.column);
    const QRect cell = grid->visualItemRect(grid->item(c.row, c.column));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    EXPECT_EQ(panel->LabelBusModule->text(), QString("Обменов с ") + c.module + ":");
    EXPECT_EQ(panel->LabelBusExchanges->text(), c.exchanges);
    EXPECT_EQ(panel->LabelBusRoundTripLast->text(), ms(c.last));
    EXPECT_EQ(panel->LabelBusRoundTripP50->text(), ms(c.p50));
    EXPECT_EQ(panel->LabelBusRoundTripP99->text(), ms(c.p99));
    for (int f = 0; f < kBusFaultCount; ++f) {
      EXPECT_EQ(panel->LabelBusFaults[f]->text(), c.faults[f]) << kBusFaultNames[f];
    }
    EXPECT_EQ(panel->LabelBusReopenings->text(), c.reopenings);
    const QString shown = panel->LabelBusLastGood->text();
    EXPECT_TRUE(shown == c.lastGood->first || shown == c.lastGood->second)
        << shown.toStdString() << " not " << c.lastGood->first.toStdString();
    EXPECT_TRUE(Until(laidOut, 1000));
  }

  // The shown module's later records arrive with the refresh, without another click.
  service_->busLedgers[kModuleJumo1].RecordFault(BusFault::kTimeout);
  service_->busLedgers[kModuleJumo1].RecordReopening();
  EXPECT_TRUE(Until([&] { return panel->LabelBusReopenings->text() == "1"; }, 3000));
  EXPECT_EQ(panel->LabelBusFaults[static_cast<int>(BusFault::kTimeout)]->text(), "1");
  EXPECT_EQ(panel->LabelBusExchanges->text(), "1");

  EXPECT_EQ(gridTexts(), designedTexts);
  EXPECT_TRUE(grid->selectedItems().isEmpty());
}

TEST_F(FormMainTest, OperatorNumbersAreChecked) {
  // The task page: a letter in the density inserts nothing.
  Type("Edit_PLSZ", "1.5x");
  Type("Edit_TNZ", "300");
  auto box = AnswerNextMessageBox(QMessageBox::Ok);
  Click("ButSetNewControl");
  ASSERT_TRUE(Until([&] { return box->answered; }));
  EXPECT_EQ(box->text, "Правильно вводите числа.");
  EXPECT_EQ(box->title, "Ошибка");
  EXPECT_EQ(DbNumberOr(db_.Value("select count(*) from control_vector"), -1), 0);

  // The settings page: a bad number changes nothing at all ...
  const Settings before = service_->SettingsSnapshot();
  Type("EditMySQL_login", "operator");
  Type("EditAvLen", "abc");
  box = AnswerNextMessageBox(QMessageBox::Ok);
  Click("ButSet");
  ASSERT_TRUE(Until([&] { return box->answered; }));
  EXPECT_EQ(box->text, "Правильно вводите числа.");
  EXPECT_EQ(service_->SettingsSnapshot(), before);

  // ... and a good page is taken, the database size raised to 60.
  Type("EditAvLen", "5");
  Type("EditDatabaseSize", "30");
  Type("Edit_VK_port_name", "  COM9 ");
  Click("ButSet");
  const Settings after = service_->SettingsSnapshot();
  EXPECT_EQ(after.AverageLen, 5);
  EXPECT_EQ(after.DatabaseSize, 60);
  EXPECT_EQ(after.Login, "operator");
  EXPECT_EQ(after.VK_PortName, "COM9");
  EXPECT_EQ(Find<QLineEdit>("EditDatabaseSize")->text(), "60");
}

// Every numeric field of the window with empty text, letters, a huge and a negative number:
// refused with the message and no change, or taken without harm.
TEST_F(FormMainTest, EveryNumericFieldWithBadInput) {
  const char* settingsFields[] = {"EditAvLen", "EditDatabaseSize", "Edit_VK_port_speed",
                                  "Edit_VK_device_num"};
  const char* speedBoxes[] = {"ComboBoxModBUS_Speed", "ComboBoxV120_Speed"};
  struct Input {
    const char* text;
    bool integer;  // taken by the settings page
    bool number;   // taken by the task page and the emulator
  };
  const Input inputs[] = {{"", false, false},
                          {"abc", false, false},
                          {"99999999999999999999", false, true},
                          {"-5", true, true},
                          {"1e300", false, true}};
  const auto apply = [&](const std::function<void()>& edit, bool refused) {
    SettingsPage* page = window_->TabSheetSetup;
    page->ShowSettings();
    edit();
    const Settings before = service_->SettingsSnapshot();
    auto box = AnswerNextMessageBox(QMessageBox::Ok);
    Click("ButSet");
    Until([&] { return box->answered; }, refused ? 5000 : 300);
    box->cancelled = true;
    EXPECT_EQ(box->answered, refused);
    if (refused) {
      EXPECT_EQ(box->text, "Правильно вводите числа.");
      EXPECT_EQ(service_->SettingsSnapshot(), before);
    }
  };
  for (const Input& in : inputs) {
    SCOPED_TRACE(std::string("input \"") + in.text + "\"");
    for (const char* field : settingsFields) {
      SCOPED_TRACE(field);
      apply([&] { Find<QLineEdit>(field)->setText(in.text); }, !in.integer);
    }
    for (const char* field : speedBoxes) {
      SCOPED_TRACE(field);
      apply([&] { Find<QComboBox>(field)->setCurrentText(in.text); }, !in.integer);
    }
    // The task page: nothing is stored for a refused text.
    for (int which = 0; which < 2 && !in.number; ++which) {
      Type("Edit_PLSZ", which == 0 ? in.text : "1.5");
      Type("Edit_TNZ", which == 1 ? in.text : "300");
      auto box = AnswerNextMessageBox(QMessageBox::Ok);
      Click("ButSetNewControl");
      ASSERT_TRUE(Until([&] { return box->answered; }, 5000));
      EXPECT_EQ(box->text, "Правильно вводите числа.");
      EXPECT_EQ(DbNumberOr(db_.Value("select count(*) from control_vector"), -1), 0);
    }
    // The emulator: a refused cell leaves the time stamp alone.
    window_->PageControl->setCurrentWidget(window_->TabSheetEmul);
    QTableWidget* grid = Find<QTableWidget>("StringGridEmulSet");
    const DateTime stamp = service_->signals.EmulatorValues.Stamp();
    grid->item(2, 1)->setText(in.text);
    auto box = AnswerNextMessageBox(QMessageBox::Ok);
    Click("ButSetNewEmulVal");
    Until([&] { return box->answered; }, in.number ? 300 : 5000);
    box->cancelled = true;
    EXPECT_EQ(box->answered, !in.number);
    EXPECT_EQ(service_->signals.EmulatorValues.Stamp() != stamp, in.number);
    window_->TabSheetEmul->FillGrid();
  }
  // A negative average length reached the settings; the averages refuse it and keep theirs.
  window_->TabSheetSetup->ShowSettings();
  Type("EditAvLen", "-5");
  Click("ButSet");
  ASSERT_EQ(service_->SettingsSnapshot().AverageLen, -5);
  service_->signals.ResetAverages(service_->SettingsSnapshot().AverageLen);
  EXPECT_EQ(service_->signals.Average(0)->GetSize(), 3);

  // A huge task is stored and journaled as typed.
  Type("Edit_PLSZ", "1e300");
  Type("Edit_TNZ", "-5");
  Click("ButSetNewControl");
  EXPECT_EQ(DbNumberOr(db_.Value("select _PLSZ from control_vector"), 0), 1e300);
  EXPECT_EQ(DbNumberOr(db_.Value("select _TNZ from control_vector"), 0), -5);
}

TEST_F(FormMainTest, EmulatedValuesReachThePlantStatePage) {
  window_->PageControl->setCurrentWidget(window_->TabSheetEmul);
  Click("CheckBoxEmulFlag");
  EXPECT_TRUE(service_->control.JumoEmulFlag.load());
  EXPECT_TRUE(service_->control.V120EmulFlag.load());
  EXPECT_FALSE(Find<QCheckBox>("CheckBoxEmulJumo")->isChecked());  // the boxes stay apart

  // 12.5 mA for the density meter, typed into its cell.
  QTableWidget* grid = Find<QTableWidget>("StringGridEmulSet");
  const int row = Slot("PLS") + 2;
  ASSERT_EQ(CellText(grid, row, 0), "PLS");
  grid->item(row, 1)->setText("12,5");
  Click("ButSetNewEmulVal");
  ASSERT_TRUE(Until([&] { return CellText(grid, 1, 1) != "00:00:00"; }, 2000));
  EXPECT_EQ(CellText(grid, row, 1), QString::fromStdString(FormatFixed(12.5, 3)));

  Click("ButStart");
  // The switch's journal row waits in the queue until the control thread has connected.
  EXPECT_TRUE(Until([&] { return Journaled("*** Включен эмулятор *** | СЛУЖБА ПРИЕМА"); }));
  const TSignalSet& pls = service_->signals.Signals()[Slot("PLS")];
  const QString expected = QString::fromStdString(FormatFixed(CalibrateValue(12.5, &pls.calibration), 3));
  QTableWidget* values = Find<QTableWidget>("StringGridPAF");
  ASSERT_TRUE(Until([&] { return CellText(values, row, 1) == expected; }, 20000))
      << CellText(values, row, 1).toStdString() << " != " << expected.toStdString();
  // Averaged values show the same once the average has filled.
  Find<QRadioButton>("RadioButtonAvState")->click();
  ASSERT_TRUE(Until([&] { return CellText(values, row, 1) == expected; }, 10000));

  Click("CheckBoxEmulFlag");
  EXPECT_FALSE(service_->control.JumoEmulFlag.load());
  EXPECT_FALSE(service_->control.V120EmulFlag.load());
}

TEST_F(FormMainTest, CloseBoxHidingAndTheExitQuestion) {
  window_->close();  // the close box
  EXPECT_TRUE(window_->windowState() & Qt::WindowMinimized);
  EXPECT_FALSE(window_->Ended());
  window_->TrayIcon1Restore();
  EXPECT_FALSE(window_->windowState() & Qt::WindowMinimized);

  auto box = AnswerNextMessageBox(QMessageBox::No);
  Click("ButClose");
  ASSERT_TRUE(box->answered);
  EXPECT_EQ(box->title, "Выход");
  EXPECT_EQ(box->text, "Прекратить прием данных и завершить работу с программой?");
  EXPECT_FALSE(window_->Ended());
  EXPECT_FALSE(service_->db.closing.load());

  box = AnswerNextMessageBox(QMessageBox::Yes);
  Click("ButClose");
  ASSERT_TRUE(box->answered);
  EXPECT_TRUE(window_->Ended());
  EXPECT_TRUE(service_->db.closing.load());
  // The shutdown row is written before the connections close.
  EXPECT_TRUE(Journaled("*** Завершение работы по команде оператора *** | NULL"))
      << ::testing::PrintToString(Journal());
  EXPECT_TRUE(fs::exists(dir_ / "kalvixsrv.ini"));
}

TEST_F(FormMainTest, SessionEndRunsTheShutdownSequence) {
  Click("ButStart");
  ASSERT_TRUE(Until([&] { return service_->control.CycleCounter.load() >= 1; }, 15000));
  window_->RequestEnd();
  EXPECT_TRUE(window_->Ended());
  EXPECT_FALSE(service_->control.ControlActive.load());
  EXPECT_TRUE(Journaled("...Завершение работы перед выгрузкой Windows... | NULL"))
      << ::testing::PrintToString(Journal());
}

// The settings page is filled only once the database is reached at start. When it is not,
// the page keeps its built-in texts: "Скрыть" must take only what the operator changed, and
// the end of the run must write back what the file held. Twice: with the server out of
// reach, and with a password typed into the file by hand, which is kept as it stands.
TEST(FormMainWithoutDatabaseTest, UnfilledPageLosesNoSettingAtTheEnd) {
  TestApplication();
  struct Case {
    const char* name;
    bool plainPassword;
  };
  for (const Case c : {Case{"server out of reach", false}, Case{"password typed by hand", true}}) {
    SCOPED_TRACE(c.name);
    const fs::path dir =
        fs::temp_directory_path() / ("kalvix_window_nodb_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path ini = dir / "kalvixsrv.ini";
    PasswordCipher cipher;
    const std::string passwordLine =
        c.plainPassword ? "Password=plain pass" : "Password=" + cipher.EncipherPassword("secret");
    std::ofstream(ini) << "[main]\nModBUS_PortSpeed=19200\nV120_PortSpeed=115200\n"
                          "VK_device_num=7\nAverageLen=30\nAutoHide=1\nmax_dg=5\n"
                          "[MySQL]\nComp="
                       << (dir / "no.sock").string()
                       << "\nLogin=plant\nDatabaseSize=365\nAutoCleanFlag=1\n"
                       << passwordLine << "\n[BK003]\nset_timeouts=0\n";
    DrainEvents();
    {
      ServiceState service(ResolveWorkingPaths(ini));
      TFormMain window(service, QuickLoadConfigTiming(1));
      window.show();
      ASSERT_TRUE(ProcessEventsUntil([&] { return service.startup.StartupTick >= 10; }, 15000));
      ASSERT_FALSE(service.db.user.Connected());
      auto* speed = window.findChild<QComboBox*>("ComboBoxModBUS_Speed");
      ASSERT_NE(speed, nullptr);
      EXPECT_EQ(speed->currentText(), "38400") << "the built-in text";

      auto* averageLen = window.findChild<QLineEdit*>("EditAvLen");
      averageLen->clear();
      QTest::keyClicks(averageLen, "25");
      QTest::mouseClick(window.findChild<QPushButton*>("ButHide"), Qt::LeftButton);
      const Settings taken = service.SettingsSnapshot();
      EXPECT_EQ(taken.AverageLen, 25) << "the operator's entry";
      EXPECT_EQ(taken.ModBUS_PortSpeed, 19200);
      EXPECT_EQ(taken.VK_device_num, 7);
      window.RequestEnd();
      ASSERT_TRUE(window.Ended());
    }
    ProfileFile saved(ini);
    ASSERT_TRUE(saved.Load());
    const std::pair<const char*, const char*> keys[] = {
        {"ModBUS_PortSpeed", "19200"},
        {"V120_PortSpeed", "115200"},
        {"VK_device_num", "7"},
        {"AverageLen", "25"},
        {"AutoHide", "1"},
        {"max_dg", "5"},
    };
    for (const auto& [key, value] : keys) EXPECT_EQ(saved.ReadValue("main", key), value) << key;
    EXPECT_EQ(saved.ReadValue("MySQL", "Login"), "plant");
    EXPECT_EQ(saved.ReadValue("MySQL", "DatabaseSize"), "365");
    EXPECT_EQ(saved.ReadValue("MySQL", "AutoCleanFlag"), "1");
    EXPECT_EQ(saved.ReadValue("BK003", "set_timeouts"), "0");
    std::stringstream text, log;
    text << std::ifstream(ini).rdbuf();
    log << std::ifstream(dir / "LOG" / DailyLog::FileNameFor(Now())).rdbuf();
    if (c.plainPassword) {
      EXPECT_NE(text.str().find("\n" + passwordLine + "\n"), std::string::npos) << text.str();
      EXPECT_NE(log.str().find(kPasswordNotDeciphered), std::string::npos) << log.str();
    } else {
      EXPECT_EQ(PasswordCipher::DecipherPassword(saved.ReadString("MySQL", "Password", "")),
                "secret");
    }
    fs::remove_all(dir);
  }
}

// "Закрыть" during the settings load's connection attempts to a server that accepts
// connections and never answers: the attempt in progress ends at the operator's confirmation,
// not at the client's time-out (and the fifteen attempts after it), and the program ends with
// its usual shutdown, the settings kept as the file gave them. Meanwhile the operator's input
// reaches no other control.
TEST(FormMainWithoutDatabaseTest, CloseTakenDuringTheSettingsLoadAttempts) {
  TestApplication();
  SilentListener silent;
  ASSERT_NE(silent.Port(), 0u);
  const fs::path dir =
      fs::temp_directory_path() / ("kalvix_window_silent_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path ini = dir / "kalvixsrv.ini";
  std::ofstream(ini) << "[main]\nAutoStart=1\n[MySQL]\nComp=" << silent.Entry() << "\n";
  DrainEvents();
  {
    ServiceState service(ResolveWorkingPaths(ini));
    TFormMain window(service, QuickLoadConfigTiming(16));
    window.show();
    // The load runs inside the status timer's tick and serves the events itself: the test
    // acts from a timer of its own.
    QTimer driver;
    int busyTicks = 0;
    bool clicked = false;
    bool hidden = false;
    std::shared_ptr<MessageBoxSeen> box;
    QElapsedTimer sinceClick;
    QObject::connect(&driver, &QTimer::timeout, [&] {
      if (clicked || !service.startup.StartupBusy || ++busyTicks < 6) return;
      // 300 ms into the first attempt, which waits 5 s for a greeting.
      QTest::mouseClick(window.findChild<QPushButton*>("ButHide"), Qt::LeftButton);
      hidden = !window.isVisible() || window.isMinimized();
      box = AnswerNextMessageBox(QMessageBox::Yes);
      clicked = true;
      sinceClick.start();
      QTest::mouseClick(window.findChild<QPushButton*>("ButClose"), Qt::LeftButton);
    });
    driver.start(50);
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.Ended(); }, 30000))
        << "clicked: " << clicked;
    std::cout << "[ close ] ended " << sinceClick.elapsed()
              << " ms after \"Закрыть\" during an attempt\n";
    EXPECT_LT(sinceClick.elapsed(), 10000);
    ASSERT_TRUE(box && box->answered);
    EXPECT_EQ(box->text, "Прекратить прием данных и завершить работу с программой?");
    EXPECT_FALSE(hidden) << "\"Скрыть\" took no input while the load ran";
    EXPECT_TRUE(service.db.closing.load());
    EXPECT_FALSE(service.db.user.Connected());
  }
  std::stringstream log;
  log << std::ifstream(dir / "LOG" / DailyLog::FileNameFor(Now())).rdbuf();
  EXPECT_NE(log.str().find("*** Завершение работы по команде оператора ***"), std::string::npos)
      << log.str();
  ProfileFile saved(ini);
  ASSERT_TRUE(saved.Load());
  EXPECT_EQ(saved.ReadValue("main", "SaveLogFlag"), "1") << "the settings were saved";
  EXPECT_EQ(saved.ReadValue("main", "AutoStart"), "1") << "a load cut short turns nothing off";
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kalvix
