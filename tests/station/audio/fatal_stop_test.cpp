// fatalStop: the reason file and line, the order of quit and connection closing,
// where the chord is looked for, and a file that cannot be written.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "platform/cp1251.h"
#include "tests/station/audio/audio_rig.h"

namespace {

using namespace platform::literals;
using audiotest::TempDir;

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Recorder {
    Recorder() : errors(std::tmpfile()) {}
    ~Recorder() {
        if (errors != nullptr)
            std::fclose(errors);
    }
    std::string errorLines() {
        std::string text;
        std::rewind(errors);
        for (int c = std::fgetc(errors); c != EOF; c = std::fgetc(errors))
            text += static_cast<char>(c);
        return text;
    }
    std::FILE* errors;
    std::vector<std::string> calls;
    station::FatalStopContext context(const TempDir& dir) {
        station::FatalStopContext c;
        c.workingDirectory = dir.path().string();
        c.executableDirectory = "";
        c.dataDirectory = "";
        c.postQuit = [this](int code) { calls.push_back("quit " + std::to_string(code)); };
        c.closeConnections = [this] { calls.push_back("close"); };
        c.errorStream = errors;
        return c;
    }
};

TEST(FatalStop, ErrorFileHoldsOnlyTheLastMessageAndQuitIsPostedAroundTheClose) {
    TempDir dir;
    Recorder recorder;
    auto context = recorder.context(dir);
    constexpr auto first = "Не удалось открыть устройство вывода звука!"_cp1251;
    constexpr auto last = "waveInReset при закрытии"_cp1251;
    station::fatalStop(context, first);
    EXPECT_EQ(fileBytes(dir.file("ErrorWav.txt")), std::string(first));
    station::fatalStop(context, last);
    const std::string bytes = fileBytes(dir.file("ErrorWav.txt"));
    EXPECT_EQ(bytes, std::string(last)) << "got " << platform::cp1251ToUtf8(bytes);
    EXPECT_EQ(static_cast<unsigned char>(bytes.back()), 0xE8u) << "Windows-1251 'и', no line end";
    const std::vector<std::string> expected = {"quit 1", "close", "quit 1", "quit 1", "close", "quit 1"};
    EXPECT_EQ(recorder.calls, expected);
    EXPECT_EQ(recorder.errorLines(),
              "selvane: Не удалось открыть устройство вывода звука!\nselvane: waveInReset при закрытии\n");
    EXPECT_TRUE(context.stopped);
}

TEST(FatalStop, UnwritableDirectoryIsSkippedAndTheRestStillRuns) {
    TempDir dir;
    Recorder recorder;
    auto context = recorder.context(dir);
    context.workingDirectory = (dir.path() / "missing" / "deeper").string();
    station::fatalStop(context, "Время подключения истекло"_cp1251);
    EXPECT_EQ(recorder.calls.size(), 3u);
    // Without hooks it only writes the file.
    station::FatalStopContext bare;
    bare.workingDirectory = dir.path().string();
    bare.executableDirectory = "";
    bare.dataDirectory = "";
    station::fatalStop(bare, "x");
    EXPECT_EQ(fileBytes(dir.file("ErrorWav.txt")), "x");
}

TEST(FatalStop, ChordIsLookedForBesideTheProgramThenInTheDataDirectoryThenInTheWorkingDirectory) {
    TempDir program;
    TempDir data;
    TempDir working;
    station::FatalStopContext context;
    context.executableDirectory = program.path().string();
    context.dataDirectory = data.path().string();
    context.workingDirectory = working.path().string();
    EXPECT_EQ(station::chordFilePath(context), "");
    const auto chord = audiotest::tones(800, {{440.0, 3000.0}});
    ASSERT_TRUE(audiotest::writeWav(working.file("chord.wav"), chord));
    EXPECT_EQ(station::chordFilePath(context), working.file("chord.wav"));
    ASSERT_TRUE(audiotest::writeWav(data.file("chord.wav"), chord));
    EXPECT_EQ(station::chordFilePath(context), data.file("chord.wav"));
    ASSERT_TRUE(audiotest::writeWav(program.file("chord.wav"), chord));
    EXPECT_EQ(station::chordFilePath(context), program.file("chord.wav"));
    EXPECT_FALSE(station::FatalStopContext::programDirectory().empty());
    // Installed as <prefix>/bin/selvane, the data is in <prefix>/share/selvane.
    EXPECT_EQ(station::FatalStopContext::installedDataDirectory("/opt/x/bin"), "/opt/x/share/selvane");
    EXPECT_EQ(station::FatalStopContext::installedDataDirectory(""), "");
}

TEST(FatalStop, HeadlessChordReturnsAtOnceAndQuitStillFollows) {
    TempDir dir;
    platform::AudioDeviceConfig headless;
    headless.outputFile = dir.file("unused.wav");
    platform::AudioSystem audio(headless);
    Recorder recorder;
    auto context = recorder.context(dir);
    context.audio = &audio;
    ASSERT_TRUE(audiotest::writeWav(dir.file("chord.wav"), audiotest::tones(800, {{440.0, 3000.0}})));
    const auto start = std::chrono::steady_clock::now();
    station::fatalStop(context, "waveInStart при старте"_cp1251);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(recorder.calls.size(), 3u);
}

} // namespace
