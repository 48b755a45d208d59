// The Reset page: one of the four resets, chosen by its item.

#include "frmMainPrivate.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>

std::vector<QWidget*> TfrmMain::CreateResetPage()
{
    tsReset = NewPage(pgFunctions, "tsReset", "Reset");
    btnReset = NewButton(tsReset, "btnReset", "Reset", 13, 16, 236, 25);
    cbResetType = NewCombo(tsReset, "cbResetType", ItemTexts(ops::ResetTypeNames), 329, 17, 212, 24);
    Label3 = NewLabel(tsReset, "Label3", "Type:", 288, 20, 35, 16);

    connect(btnReset, &QPushButton::clicked, this, &TfrmMain::btnResetClick);
    return {btnReset, cbResetType};
}

void TfrmMain::btnResetClick()
{
    Guard([&] {
        const int item = SelectedItem(cbResetType);
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::Reset(ctx, item + 1);
    });
}
