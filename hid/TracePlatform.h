#pragma once
// A packet trace: a platform that passes every call through to another one
// and writes down what crosses it, so that the same trace works on hidraw and
// on the simulated bus without the link or the protocol knowing.
//
// One line per event, appended and flushed at once:
//
//     0.000000 EV trace started 2026-12-08T01:20:00Z
//     0.001204 EV open /dev/hidraw3
//     0.001310 EV open /dev/hidraw4 failed: Permission denied
//     0.104512 TX 00 10 00 00 ... 00        a report written to a handle
//     0.107800 RX 00 20 35 02 ... 00        a report read from a handle
//     0.250001 EV close /dev/hidraw3
//     0.300412 EV arrival /dev/hidraw5 1209:0001   (the IDs when known)
//     0.400980 EV removal /dev/hidraw5
//     0.500000 EV write failed /dev/hidraw3
//
// and the lines that let a trace be replayed as a remote (sim/TraceReplay.h)
// and compared with its replay:
//
//     0.000002 HDR program corvane-cli 0.1.0        who wrote the trace
//     0.000003 HDR command corvane-cli --trace t.log version
//     0.001205 HDR device /dev/hidraw3 1209:0001 input 65 output 65
//     0.001206 HDR descriptor /dev/hidraw3 06 00 FF 09 01 ... C0
//     0.120000 LOG Battery level: 3.912 V (60%)     a line the program logged
//     0.130000 EXIT 0                               corvane-cli's exit code
//
// HDR program and HDR command follow the start of a session when the program
// says who it is (WriteHeader); the command line's words are separated by
// spaces, a word with spaces or quotes stands in single quotes (a quote in it
// as '\''), as a shell takes them. HDR device follows the first open of each
// interface in a session: its IDs and its input and output report lengths,
// report-ID byte included; HDR descriptor its report descriptor in hex, where
// the platform hands it out. LOG lines hold the program's log, one line each;
// EXIT, written by corvane-cli when its command is done, the exit code.
//
// The time is seconds since the trace started, with six decimals, from a
// steady clock; each trace starts with the "trace started" line and the wall
// time in UTC, which separates the sessions appended to one file. Report
// bytes are written in upper-case hex, two digits each, as the window's hex
// dumps write them, and exactly as they cross the platform interface: report
// ID first, the whole report (65 bytes for the remote, whatever the payload).
// IDs are lower-case vendor:product, four digits each, as lsusb writes them.
//
// What is not traced: a read that times out or fails (the removal line says
// that the device went), enumeration, and the attribute and report-length
// queries. A write is traced as it is handed to the platform, before the
// device takes it, so that the reply read by the other thread cannot come
// first in the file; a write that then fails adds "write failed". Arrivals
// and removals are traced when their callback runs on the GUI thread, once
// per watch that receives them (the link keeps one).

#include "HidPlatform.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <vector>

class TTracePlatform : public IHidPlatform {
public:
    // Traces to a stream owned by the caller (tests, standard error). The
    // inner platform and the stream must outlive this object, and this object
    // every handle and watch it gave out.
    TTracePlatform(IHidPlatform& inner, std::ostream& out);

    // Traces by appending to the file at path, created if missing. Null when
    // the file cannot be opened; error then says so in one line, e.g.
    // "Cannot open trace file /root/t.log: Permission denied".
    static std::unique_ptr<TTracePlatform> AppendToFile(IHidPlatform& inner, const std::string& path,
                                                        std::string& error);

    ~TTracePlatform() override;

    TTracePlatform(const TTracePlatform&) = delete;
    TTracePlatform& operator=(const TTracePlatform&) = delete;

    // IHidPlatform: each call goes to the inner platform unchanged; opened
    // handles are wrapped so that their reports are traced.
    std::vector<THidInterfaceInfo> Enumerate() override;
    std::unique_ptr<IHidHandle> Open(const std::string& path, std::error_code& error) override;
    std::unique_ptr<IHidHandle> OpenForReading(const std::string& path, std::error_code& error) override;
    std::unique_ptr<IHotplugWatch> Watch(IGuiEventLoop& loop,
                                         std::function<void(const THotplugEvent&)> callback) override;

    // Any thread: true once a line could not be written (disk full, closed
    // stream). Tracing goes on; the device calls are never affected, so that
    // an operation is never cut short by its trace: the owner asks at the end.
    bool Failed() const;
    // Any thread: why the first line that could not be written failed (for a
    // file the system's reason, e.g. no_space_on_device; for a stream
    // io_error); empty while every line was written.
    std::error_code Error() const;

    // Closes a trace file, when every handle and watch given out is gone:
    // returns Error(), or else why the close failed (a file system that
    // reports a lost write only then). Lines after it are not written and
    // count as failed. Nothing to close for a stream; returns Error().
    std::error_code Close();

    // Any thread: appends one line, the time and a space put in front of
    // text ("TX 00 10 ...", "EV close /dev/hidraw3").
    void WriteLine(const std::string& text);

    // Any thread: the HDR program and HDR command lines.
    void WriteHeader(const std::string& program, const std::string& version, const std::vector<std::string>& args);

    // Any thread: one LOG line for each line of text.
    void Log(const std::string& text);

    // A command line as HDR command writes it, and back.
    static std::string JoinCommandLine(const std::vector<std::string>& words);
    static std::vector<std::string> SplitCommandLine(const std::string& line);

    // "TX " or "RX " and the bytes in hex.
    static std::string FormatReport(const char* direction, const std::uint8_t* data, std::size_t length);

private:
    struct TFileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    class TTraceHandle;

    TTracePlatform(IHidPlatform& inner, std::ostream* out, std::unique_ptr<std::FILE, TFileCloser> file);

    // HDR device and HDR descriptor, once per interface.
    void Describe(IHidHandle& handle, const std::string& path);
    // Traces an open's outcome and wraps the handle it gave, if any.
    std::unique_ptr<IHidHandle> Traced(std::unique_ptr<IHidHandle> handle, const std::string& path,
                                       const std::error_code& error);

    IHidPlatform& FInner;
    std::ostream* FOut;                               // either this...
    std::unique_ptr<std::FILE, TFileCloser> FFile;    // ...or this
    const std::chrono::steady_clock::time_point FStart;
    mutable std::mutex FMutex;  // the handles' two threads and the GUI thread write lines
    std::error_code FError;     // of the first line not written
    std::set<std::string> FDescribed;  // interfaces whose HDR device is written
};
