// The Miscellaneous page: registers by type and index, and the ready-made
// buttons for the hardware flag, the battery level and the clock.

#include "frmMainPrivate.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

std::vector<QWidget*> TfrmMain::CreateMiscellaneousPage()
{
    tsMiscellaneous = NewPage(pgFunctions, "tsMiscellaneous", "Miscellaneous");
    btnReadMiscByte = NewButton(tsMiscellaneous, "btnReadMiscByte", "Read miscellaneous (byte)", 13, 16, 236, 25);
    cbReadWriteMiscType =
        NewCombo(tsMiscellaneous, "cbReadWriteMiscType", ItemTexts(ops::MiscTypeNames), 329, 17, 212, 24);
    edtReadWriteMiscIndex = NewEdit(tsMiscellaneous, "edtReadWriteMiscIndex", "0", 329, 47, 50, 24);
    edtReadWriteMiscData = NewEdit(tsMiscellaneous, "edtReadWriteMiscData", "0", 329, 77, 50, 24);
    btnReadMiscWord = NewButton(tsMiscellaneous, "btnReadMiscWord", "Read miscellaneous (word)", 13, 47, 236, 25);
    btnReadMiscBatteryLevel =
        NewButton(tsMiscellaneous, "btnReadMiscBatteryLevel", "Read battery level", 97, 108, 152, 25);
    btnReadMiscHardwareFlag =
        NewButton(tsMiscellaneous, "btnReadMiscHardwareFlag", "Read hardware flag", 97, 77, 152, 25);
    btnReadMiscTime = NewButton(tsMiscellaneous, "btnReadMiscTime", "Read time/date", 97, 139, 152, 25);
    btnWriteMiscByte = NewButton(tsMiscellaneous, "btnWriteMiscByte", "Write miscellaneous (byte)", 13, 170, 236, 25);
    btnWriteMiscWord = NewButton(tsMiscellaneous, "btnWriteMiscWord", "Write miscellaneous (word)", 13, 201, 236, 25);
    btnWriteMiscTime = NewButton(tsMiscellaneous, "btnWriteMiscTime", "Write time/date", 97, 232, 152, 25);
    Label2 = NewLabel(tsMiscellaneous, "Label2", "Type:", 288, 20, 35, 16);
    Label1 = NewLabel(tsMiscellaneous, "Label1", "Index:", 288, 50, 35, 16);
    Label4 = NewLabel(tsMiscellaneous, "Label4", "Data:", 288, 80, 32, 16);

    connect(btnReadMiscByte, &QPushButton::clicked, this, &TfrmMain::btnReadMiscByteClick);
    connect(btnReadMiscWord, &QPushButton::clicked, this, &TfrmMain::btnReadMiscWordClick);
    connect(btnWriteMiscByte, &QPushButton::clicked, this, &TfrmMain::btnWriteMiscByteClick);
    connect(btnWriteMiscWord, &QPushButton::clicked, this, &TfrmMain::btnWriteMiscWordClick);
    connect(btnReadMiscHardwareFlag, &QPushButton::clicked, this, &TfrmMain::btnReadMiscHardwareFlagClick);
    connect(btnReadMiscBatteryLevel, &QPushButton::clicked, this, &TfrmMain::btnReadMiscBatteryLevelClick);
    connect(btnReadMiscTime, &QPushButton::clicked, this, &TfrmMain::btnReadMiscTimeClick);
    connect(btnWriteMiscTime, &QPushButton::clicked, this, &TfrmMain::btnWriteMiscTimeClick);

    return {btnReadMiscByte,         cbReadWriteMiscType,     edtReadWriteMiscIndex, edtReadWriteMiscData,
            btnReadMiscWord,         btnReadMiscBatteryLevel, btnReadMiscHardwareFlag, btnReadMiscTime,
            btnWriteMiscByte,        btnWriteMiscWord,        btnWriteMiscTime};
}

void TfrmMain::ReadMisc(bool word)
{
    TSink sink(*this);
    const auto index = ops::ParseMiscIndex(sink, edtReadWriteMiscIndex->text().toStdString());
    if (!index) return;
    const auto type = static_cast<std::uint8_t>(SelectedItem(cbReadWriteMiscType));
    ops::TOpsContext ctx = Context(sink);
    const ops::TMiscResult result = ops::ReadMisc(ctx, word, type, *index);
    if (result.Ok()) edtReadWriteMiscData->setText(QString::number(result.Value));
}

void TfrmMain::WriteMisc(bool word)
{
    TSink sink(*this);
    const auto index = ops::ParseMiscIndex(sink, edtReadWriteMiscIndex->text().toStdString());
    if (!index) return;
    const auto data = ops::ParseMiscData(sink, edtReadWriteMiscData->text().toStdString());
    if (!data) return;
    const auto type = static_cast<std::uint8_t>(SelectedItem(cbReadWriteMiscType));
    ops::TOpsContext ctx = Context(sink);
    ops::WriteMisc(ctx, word, type, *index, *data);
}

void TfrmMain::btnReadMiscByteClick() { Guard([&] { ReadMisc(false); }); }
void TfrmMain::btnReadMiscWordClick() { Guard([&] { ReadMisc(true); }); }
void TfrmMain::btnWriteMiscByteClick() { Guard([&] { WriteMisc(false); }); }
void TfrmMain::btnWriteMiscWordClick() { Guard([&] { WriteMisc(true); }); }

void TfrmMain::btnReadMiscHardwareFlagClick()
{
    Guard([&] {
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::ReadHardwareFlag(ctx);
    });
}

void TfrmMain::btnReadMiscBatteryLevelClick()
{
    Guard([&] {
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::ReadBattery(ctx);
    });
}

void TfrmMain::btnReadMiscTimeClick()
{
    Guard([&] {
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::ReadClock(ctx);
    });
}

void TfrmMain::btnWriteMiscTimeClick()
{
    Guard([&] {
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::SetClock(ctx);
    });
}
