#pragma once
// What the window tests share: one QApplication per test program (offscreen),
// and a fixture that builds the real TfrmMain on a simulated bus with the
// simulated remote, with short protocol waits and a private working folder.

#include "frmMain.h"

#include "SimHidBus.h"
#include "SimRemote.h"
#include "FastTiming.h"
#include "QtTestApp.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <memory>
#include <thread>


// Runs fn from the event queue: inside a long operation, at its next
// dispatch, as a click the user makes while it runs.
template <typename F>
void Later(QObject* context, F fn)
{
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

class TConsoleFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FWorkDir.isValid());
        FSavedDir = QDir::currentPath();
        QDir::setCurrent(FWorkDir.path());
    }

    void TearDown() override
    {
        Form.reset();  // before the bus and the remote it talks to
        QDir::setCurrent(FSavedDir);
    }

    // Builds the window; with plugged, the remote is on the bus first.
    void Start(bool plugged = true)
    {
        if (plugged) Plug();
        Form = std::make_unique<TfrmMain>(Bus);
        Form->ReportError = [this](const QString& text) { Errors.append(text); };
        FSeen = 0;
    }

    void Plug() { Bus.Plug(Remote); }
    void Unplug() { Bus.Unplug(Remote); }

    // Log lines appended since the previous call (or since Start).
    QStringList NewLines()
    {
        const QStringList all = Form->LogLines();
        QStringList fresh = all.mid(FSeen);
        FSeen = all.size();
        return fresh;
    }

    template <typename T>
    T* Find(const char* name) const
    {
        T* widget = Form->findChild<T*>(QLatin1String(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    // The pages are visible as far as the window is concerned (it is not
    // shown in most tests).
    bool PagesShown() const { return Form->pgFunctions->isVisibleTo(Form.get()); }

    // A version request refreshes the window's idea of the architecture and
    // the protocol from the remote.
    void SetArchitecture(int architecture)
    {
        Remote->SetArchitecture(architecture);
        Form->btnVersionClick();
        NewLines();
    }

    static QByteArray ReadFile(const QString& name)
    {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly)) return {};
        return file.readAll();
    }

    static QByteArray Bytes(const TByteArray& data)
    {
        return QByteArray(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size()));
    }

    TScopedTiming Timing{FastTiming()};
    TSimHidBus Bus;
    std::shared_ptr<TSimRemote> Remote = std::make_shared<TSimRemote>();
    std::unique_ptr<TfrmMain> Form;
    QStringList Errors;

private:
    QTemporaryDir FWorkDir;
    QString FSavedDir;
    qsizetype FSeen = 0;
};
