// The Version page: the version reply, raw and decoded.

#include "frmMainPrivate.h"

#include <QPushButton>
#include <QTabWidget>

std::vector<QWidget*> TfrmMain::CreateVersionPage()
{
    tsVersion = NewPage(pgFunctions, "tsVersion", "Version");
    btnVersion = NewButton(tsVersion, "btnVersion", "Get version information", 13, 16, 236, 25);
    btnDecodedVersion = NewButton(tsVersion, "btnDecodedVersion", "Get decoded version information", 13, 47, 236, 25);

    connect(btnVersion, &QPushButton::clicked, this, &TfrmMain::btnVersionClick);
    connect(btnDecodedVersion, &QPushButton::clicked, this, &TfrmMain::btnDecodedVersionClick);
    return {btnVersion, btnDecodedVersion};
}

void TfrmMain::btnVersionClick()
{
    Guard([&] {
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::ReadVersion(ctx);
    });
}

void TfrmMain::btnDecodedVersionClick()
{
    Guard([&] {
        TSink sink(*this);
        ops::TOpsContext ctx = Context(sink);
        ops::ReadDecodedVersion(ctx);
    });
}
