// The "Make Bin" window, driven the way a user drives it: clicks, typed
// text and keys in its grid.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/form2_make_bin.h"
#include "firmware/image_builder.h"
#include "firmware/image_files.h"
#include "firmware/sub_code_table.h"
#include "support/recording_ui.h"
#include "support/when_modal.h"

using px::app::TForm2;

namespace {

using px::test::WhenModal;

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Pattern(std::size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

// A head file whose configuration block lies at `c`.
std::vector<uint8_t> HeadFile(uint32_t c) {
  std::vector<uint8_t> head = Pattern(64, 0x11);
  head[16] = static_cast<uint8_t>(c);
  head[17] = static_cast<uint8_t>(c >> 8);
  head[18] = static_cast<uint8_t>(c >> 16);
  return head;
}

void ClickCell(QTableWidget* grid, int row, int column, bool twice) {
  const QPoint centre = grid->visualItemRect(grid->item(row, column)).center();
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, centre);
  if (twice) QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, centre);
}

QStringList Column(const TForm2& form, int column) {
  QStringList out;
  for (int row = 2; row < TForm2::kRows; ++row) {
    out << form.StringGrid1->item(row, column)->text();
  }
  while (!out.isEmpty() && out.back().isEmpty()) out.pop_back();
  return out;
}

constexpr uint32_t kSeed = 20261208;

// The files of a Make Bin session in a scratch folder.
struct BinFiles {
  QTemporaryDir dir;
  std::filesystem::path Path(const char* name) const {
    return std::filesystem::path(dir.path().toStdString()) / name;
  }
  QString Q(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
};

}  // namespace

class MakeBinTest : public QObject {
  Q_OBJECT

 private slots:
  void MakeBinSavesTheBuildersImage();
  void MakeBinGridKeys_data();
  void MakeBinGridKeys();
  void MakeBinCellEditors();
  void MakeBinKeepsItsTableBetweenOpenings();
  void MakeBinClosesAfterARefusedBuild();
};

void MakeBinTest::MakeBinSavesTheBuildersImage() {
  BinFiles files;
  constexpr uint32_t c = 0x30000;
  WriteFile(files.Path("SPIHEAD.BIN"), HeadFile(c));
  WriteFile(files.Path("SUB-A0.BIN"), Pattern(300, 0xA0));
  WriteFile(files.Path("SUB-31.BIN"), Pattern(5000, 0x31));

  px::FirmwareState firmware;
  px::test::RecordingMessages messages;
  TForm2 form(firmware, messages, kSeed);
  const QStringList chosen{files.Q("SPIHEAD.BIN"), files.Q("SUB-A0.BIN"), files.Q("SUB-31.BIN")};
  form.SetFileChoosers([&] { return chosen; }, [&] { return files.Path("made.img"); });
  form.show();

  QCOMPARE(form.windowTitle(), QStringLiteral("Make Bin"));
  QVERIFY(form.CheckBox5->isChecked());
  QVERIFY(!form.GroupBox4->isEnabled());
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  QCOMPARE(form.StringGrid1->item(1, 1)->text(), QStringLiteral("SPIHEAD.BIN"));
  QCOMPARE(Column(form, 1), (QStringList{"SUB-A0.BIN", "SUB-31.BIN"}));
  QCOMPARE(Column(form, 2), (QStringList{"A0h", "31h"}));

  // SUB-31's update flag to FALSE through its list, then two settings.
  ClickCell(form.StringGrid1, 3, 3, true);
  QVERIFY(form.ComboBox1->isVisible());
  form.ComboBox1->setCurrentIndex(0);
  QTest::keyClick(form.ComboBox1, Qt::Key_Return);
  QVERIFY(!form.ComboBox1->isVisible());
  QCOMPARE(Column(form, 3), (QStringList{"TRUE", "FALSE"}));
  form.CheckBox1->click();  // RAID Mode setting by  jumper: off
  form.Edit3->setText(QStringLiteral("1500"));

  QTest::mouseClick(form.Button2, Qt::LeftButton);

  px::SubCodeTable expectedTable;
  for (const char* name : {"SPIHEAD.BIN", "SUB-A0.BIN", "SUB-31.BIN"}) {
    expectedTable.AddFile(files.Path(name));
  }
  expectedTable.SetUpdateFlag(3, false);
  px::ImageSettings expectedSettings;
  expectedSettings.raidModeByJumper = false;
  expectedSettings.fanAlarmLimit = "1500";
  std::mt19937 fill(kSeed);
  const px::ImageBuild expected =
      px::BuildImage(px::ReadImageParts(expectedTable), expectedSettings, fill);
  QVERIFY(!expected.refusal);

  QVERIFY(messages.boxes().empty());
  const std::vector<uint8_t> saved = ReadFile(files.Path("made.bin"));
  QCOMPARE(saved.size(), std::size_t{c + 0x8000});
  QVERIFY(saved == expected.image);
  QVERIFY(firmware.FirmwareImage == expected.image);
  // The settings the window passed on, read from the block itself.
  QCOMPARE(saved[c + 56], uint8_t{0x11});
  QCOMPARE(saved[c + 109], uint8_t{0xDC});
  QCOMPARE(saved[c + 110], uint8_t{0x05});
  QCOMPARE(saved[c + 2 + 5 + 4], uint8_t{0x00});  // SUB-31 is not to be updated
  QCOMPARE(form.PanelText(3), QStringLiteral("Svae File OK :") +
                                  QString::fromStdString(files.Path("made.bin").string()));
  QVERIFY(!form.isVisible());
}

void MakeBinTest::MakeBinGridKeys_data() {
  QTest::addColumn<int>("row");
  QTest::addColumn<QString>("key");
  QTest::addColumn<QStringList>("names");
  QTest::addColumn<int>("selectedRow");

  const QStringList abc{"SUB-A0.BIN", "SUB-B1.BIN", "SUB-C2.BIN"};
  QTest::newRow("Delete middle") << 3 << "Delete" << QStringList{"SUB-A0.BIN", "SUB-C2.BIN"} << 3;
  QTest::newRow("Delete last") << 4 << "Delete" << QStringList{"SUB-A0.BIN", "SUB-B1.BIN"} << 4;
  QTest::newRow("Delete Boot Loader") << 1 << "Delete" << abc << 1;
  QTest::newRow("Delete past the end") << 6 << "Delete" << abc << 6;
  QTest::newRow("+ moves up") << 3 << "+" << QStringList{"SUB-B1.BIN", "SUB-A0.BIN", "SUB-C2.BIN"}
                              << 2;
  QTest::newRow("+ on the first") << 2 << "+" << abc << 2;
  QTest::newRow("- moves down") << 2 << "-" << QStringList{"SUB-B1.BIN", "SUB-A0.BIN", "SUB-C2.BIN"}
                                << 3;
  QTest::newRow("- on the last") << 4 << "-" << abc << 4;
}

void MakeBinTest::MakeBinGridKeys() {
  QFETCH(int, row);
  QFETCH(QString, key);
  QFETCH(QStringList, names);
  QFETCH(int, selectedRow);

  BinFiles files;
  px::FirmwareState firmware;
  px::test::RecordingMessages messages;
  TForm2 form(firmware, messages, kSeed);
  const QStringList chosen{files.Q("SPIHEAD.BIN"), files.Q("SUB-A0.BIN"), files.Q("SUB-B1.BIN"),
                           files.Q("SUB-C2.BIN")};
  form.SetFileChoosers([&] { return chosen; }, [] { return std::nullopt; });
  form.show();
  QTest::mouseClick(form.Button1, Qt::LeftButton);

  form.StringGrid1->setCurrentCell(row, 1);
  if (key == "Delete") {
    QTest::keyClick(form.StringGrid1, Qt::Key_Delete);
  } else {
    QTest::keyClick(form.StringGrid1, key.at(0).toLatin1());
  }
  QCOMPARE(Column(form, 1), names);
  QCOMPARE(form.Table().SubCodeCount(), names.size());
  QCOMPARE(form.StringGrid1->item(1, 1)->text(), QStringLiteral("SPIHEAD.BIN"));
  QCOMPARE(form.StringGrid1->currentRow(), selectedRow);
  // The code types travel with their files.
  QStringList types;
  for (const QString& name : names) types << name.mid(4, 2) + "h";
  QCOMPARE(Column(form, 2), types);
}

void MakeBinTest::MakeBinCellEditors() {
  BinFiles files;
  px::FirmwareState firmware;
  px::test::RecordingMessages messages;
  TForm2 form(firmware, messages, kSeed);
  const QStringList chosen{files.Q("SUB-A0.BIN")};
  form.SetFileChoosers([&] { return chosen; }, [] { return std::nullopt; });
  form.show();
  QTest::mouseClick(form.Button1, Qt::LeftButton);

  // Selecting a cell tells its row and its content.
  ClickCell(form.StringGrid1, 2, 1, false);
  QCOMPARE(form.PanelText(2), QStringLiteral("1"));
  QCOMPARE(form.PanelText(3), files.Q("SUB-A0.BIN"));

  // Only the code type and the update flag of a sub-code row can be edited.
  for (const auto& [row, column] : {std::pair{2, 1}, std::pair{1, 2}, std::pair{3, 2}}) {
    ClickCell(form.StringGrid1, row, column, true);
    QVERIFY(!form.Edit1->isVisible());
    QVERIFY(!form.ComboBox1->isVisible());
  }

  ClickCell(form.StringGrid1, 2, 2, true);
  QVERIFY(form.Edit1->isVisible());
  QCOMPARE(form.Edit1->text(), QStringLiteral("A0h"));
  QCOMPARE(form.Edit1->geometry(), form.StringGrid1->visualItemRect(form.StringGrid1->item(2, 2)));
  // A0 without its H is no number: the error, and the type stays.
  form.Edit1->setText(QStringLiteral("A0"));
  QTest::keyClick(form.Edit1, Qt::Key_Return);
  QCOMPARE(messages.boxes().size(), std::size_t{1});
  QCOMPARE(messages.boxes()[0].text, std::string("'A0' is not a valid integer value"));
  QVERIFY(form.Edit1->isVisible());
  QCOMPARE(form.StringGrid1->item(2, 2)->text(), QStringLiteral("A0h"));

  form.Edit1->setText(QStringLiteral("49"));
  QTest::keyClick(form.Edit1, Qt::Key_Return);
  QVERIFY(!form.Edit1->isVisible());
  QCOMPARE(form.StringGrid1->item(2, 2)->text(), QStringLiteral("31h"));

  // Enter on the grid opens the editor too; any key on the grid closes it.
  form.StringGrid1->setFocus();
  QTest::keyClick(form.StringGrid1, Qt::Key_Return);
  QVERIFY(form.Edit1->isVisible());
  QTest::keyClick(form.StringGrid1, Qt::Key_Left);
  QVERIFY(!form.Edit1->isVisible());
}

void MakeBinTest::MakeBinKeepsItsTableBetweenOpenings() {
  BinFiles files;
  px::FirmwareState firmware;
  px::test::RecordingMessages messages;
  QWidget mainWindow;
  int openings = 0;
  for (int i = 0; i < 2; ++i) {
    WhenModal<TForm2>([&](TForm2& form) {
      ++openings;
      if (i == 0) {
        const QStringList chosen{files.Q("SUB-A0.BIN")};
        form.SetFileChoosers([chosen] { return chosen; }, [] { return std::nullopt; });
        QTest::mouseClick(form.Button1, Qt::LeftButton);
      }
      QCOMPARE(Column(form, 1), QStringList{"SUB-A0.BIN"});
      form.close();
    });
    TForm2::Open(&mainWindow, firmware, messages);
  }
  QCOMPARE(openings, 2);
  QCOMPARE(mainWindow.findChildren<TForm2*>().size(), 1);
}

void MakeBinTest::MakeBinClosesAfterARefusedBuild() {
  BinFiles files;
  px::FirmwareState firmware;
  firmware.ReplaceImage({1, 2, 3});
  px::test::RecordingMessages messages;
  TForm2 form(firmware, messages, kSeed);
  bool asked = false;
  form.SetFileChoosers([] { return QStringList(); },
                       [&]() -> std::optional<std::filesystem::path> {
                         asked = true;
                         return files.Path("never.bin");
                       });
  form.show();
  // Auto-detect off and no size chosen: the size group opens up, and the
  // build is refused before the save dialog.
  QTest::mouseClick(form.CheckBox5, Qt::LeftButton);
  QVERIFY(form.GroupBox4->isEnabled());
  QTest::mouseClick(form.Button2, Qt::LeftButton);

  QCOMPARE(messages.boxes().size(), std::size_t{1});
  QCOMPARE(messages.boxes()[0].title, std::string("Error"));
  QVERIFY(!asked);
  QVERIFY(!std::filesystem::exists(files.Path("never.bin")));
  QVERIFY((firmware.FirmwareImage == std::vector<uint8_t>{1, 2, 3}));
  QVERIFY(!form.isVisible());
}

QTEST_MAIN(MakeBinTest)
#include "make_bin_test.moc"
