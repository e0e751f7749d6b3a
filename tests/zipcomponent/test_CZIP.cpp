// The component's rules, run against a fake engine that records what it receives and calls the
// callbacks as each test scripts it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "tests/zipcomponent/ComponentTestSupport.h"
#include "tests/zipcomponent/FakeEngine.h"
#include "zipcomponent/CZIP.h"
#include "zipcomponent/modZIP.h"

using componenttest::EventRecorder;
using componenttest::TempDir;
using fakezip::Action;
using fakezip::Phase;

namespace {

fakezip::Controls& fakeEngine() {
    // Opened once and kept open, so the component's dlopen of the same file shares this copy.
    static fakezip::Controls* controls = [] {
        void* handle = dlopen(FAKE_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            throw std::runtime_error(dlerror());
        }
        auto get = reinterpret_cast<fakezip::Controls* (*)()>(dlsym(handle, "FakeEngineControls"));
        return get();
    }();
    return *controls;
}

std::vector<std::pair<std::string, int32_t>> flagsOf(const ZpOptions& o) {
    return {{"useTempDir", o.useTempDir},
            {"suffixes", o.suffixes},
            {"encrypt", o.encrypt},
            {"systemFiles", o.systemFiles},
            {"volumeLabel", o.volumeLabel},
            {"noExtraAttributes", o.noExtraAttributes},
            {"noDirEntries", o.noDirEntries},
            {"excludeNewer", o.excludeNewer},
            {"includeNewer", o.includeNewer},
            {"verbose", o.verbose},
            {"quiet", o.quiet},
            {"crlfToLf", o.crlfToLf},
            {"lfToCrlf", o.lfToCrlf},
            {"junkDirs", o.junkDirs},
            {"grow", o.grow},
            {"dosNames", o.dosNames},
            {"move", o.move},
            {"deleteEntries", o.deleteEntries},
            {"update", o.update},
            {"freshen", o.freshen},
            {"junkSfx", o.junkSfx},
            {"latestTime", o.latestTime},
            {"comment", o.comment},
            {"adjustSfx", o.adjustSfx},
            {"privileges", o.privileges},
            {"encryptionSupported", o.encryptionSupported},
            {"recurse", o.recurse},
            {"repair", o.repair}};
}

// Names of the flags that differ between two records.
std::vector<std::string> changedFlags(const ZpOptions& before, const ZpOptions& after) {
    std::vector<std::string> changed;
    const auto a = flagsOf(before);
    const auto b = flagsOf(after);
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].second != b[i].second) {
            changed.push_back(a[i].first);
        }
    }
    return changed;
}

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &fakeEngine();
        fake->Reset();
        fake->lArchiveResult = 0;
        modZIP::SetEngineFileForTesting(FAKE_ENGINE_PATH);
    }
    void TearDown() override { modZIP::SetEngineFileForTesting(std::string()); }

    // An object with an archive path and the given files; comment and password cleared, since
    // they outlive objects.
    static void prepare(CZIP& zip, const std::vector<std::string>& files) {
        zip.SetZIPFilePath("/tmp/out.zip");
        zip.SetZIPComment("");
        zip.SetZIPPassword("");
        for (const auto& file : files) {
            zip.AddFile(file);
        }
    }

    // Options the engine received in a run with the given property changes applied.
    ZpOptions optionsAfter(const std::function<void(CZIP&)>& change) {
        fake->Reset();
        CZIP zip;
        prepare(zip, {"/a"});
        change(zip);
        zip.DoZip();
        return fake->options;
    }

    fakezip::Controls* fake = nullptr;
};

TEST_F(ComponentTest, FileLimitIs4096AndTheNextAddRaises) {
    CZIP zip;
    prepare(zip, {});
    for (int i = 0; i < 4096; ++i) {
        zip.AddFile(i % 2 == 0 ? "/same" : "/f" + std::to_string(i));
    }
    try {
        zip.AddFile("/one-too-many");
        FAIL() << "the 4097th file was accepted";
    } catch (const RuntimeError& error) {
        EXPECT_EQ(error.number(), 47110815);
        EXPECT_EQ(error.source(), "Tv_ZIP:AddFile");
        EXPECT_EQ(error.description(), "Maximum number of files reached");
    }

    zip.DoZip();
    ASSERT_EQ(fake->lCount, 4096);
    EXPECT_EQ(fake->names.front(), "/same");
    EXPECT_EQ(fake->names.back(), "/f4095");
}

TEST_F(ComponentTest, PathsReachTheEngineUnexamined) {
    CZIP zip;
    prepare(zip, {"", "/x y/ä.txt", "/x y/ä.txt", "/does/not/exist"});
    zip.DoZip();
    EXPECT_EQ(fake->names,
              (std::vector<std::string>{"", "/x y/ä.txt", "/x y/ä.txt", "/does/not/exist"}));
    EXPECT_EQ(fake->sArchivePath, "/tmp/out.zip");
}

TEST_F(ComponentTest, NewObjectSendsDefaultOptionsInCallOrder) {
    CZIP zip;
    prepare(zip, {"/a"});
    EXPECT_EQ(zip.ZIPRootPath(), "/");
    EXPECT_FALSE(zip.AppendToZIP());
    EXPECT_FALSE(zip.ForceDOSNames());
    EXPECT_FALSE(zip.UpdateZIP());
    EXPECT_FALSE(zip.SuppressEvents());

    EXPECT_EQ(zip.DoZip(), 0);
    EXPECT_EQ(fake->calls, (std::vector<std::string>{"ZpInit", "ZpSetOptions", "ZpArchive"}));
    EXPECT_TRUE(fake->bCallbacksComplete);
    EXPECT_FALSE(fake->sDate.has_value());  // null, not empty
    EXPECT_EQ(fake->sRootDir, "/");
    EXPECT_EQ(fake->sTempDir, "");
    EXPECT_EQ(fake->options.level, '9');
    for (const auto& [name, value] : flagsOf(fake->options)) {
        EXPECT_EQ(value, name == "quiet" ? 1 : 0) << name;
    }
}

TEST_F(ComponentTest, EachPropertySetsItsOwnFieldOnly) {
    const ZpOptions base = optionsAfter([](CZIP&) {});
    struct Case {
        std::function<void(CZIP&)> change;
        std::vector<std::string> changed;
    };
    const std::vector<Case> cases = {
        {[](CZIP& z) { z.SetZIPComment("Kommentar"); }, {"comment"}},
        {[](CZIP& z) { z.SetZIPPassword("geheim"); }, {"encrypt"}},
        {[](CZIP& z) { z.SetAppendToZIP(true); }, {"grow"}},
        {[](CZIP& z) { z.SetForceDOSNames(true); }, {"dosNames"}},
        {[](CZIP& z) { z.SetUpdateZIP(true); }, {"update"}},
        {[](CZIP& z) { z.SetZIPRootPath("/home/ich/"); }, {}},
        {[](CZIP& z) { z.SetSuppressEvents(true); }, {}},
        // Setting back to empty or False returns the flag to 0.
        {[](CZIP& z) {
             z.SetZIPComment("x");
             z.SetZIPComment("");
         },
         {}},
        {[](CZIP& z) {
             z.SetZIPPassword("x");
             z.SetZIPPassword("");
         },
         {}},
        {[](CZIP& z) {
             z.SetAppendToZIP(true);
             z.SetAppendToZIP(false);
         },
         {}},
        {[](CZIP& z) {
             z.SetForceDOSNames(true);
             z.SetForceDOSNames(false);
         },
         {}},
        {[](CZIP& z) {
             z.SetUpdateZIP(true);
             z.SetUpdateZIP(false);
         },
         {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const ZpOptions after = optionsAfter(cases[i].change);
        EXPECT_EQ(changedFlags(base, after), cases[i].changed) << "case " << i;
    }
    optionsAfter([](CZIP& z) { z.SetZIPRootPath("/home/ich/"); });
    EXPECT_EQ(fake->sRootDir, "/home/ich/");
}

TEST_F(ComponentTest, NewObjectResetsOptionsOfEveryObjectInItsThread) {
    CZIP first;
    prepare(first, {"/a"});
    first.SetZIPRootPath("/daten/");
    first.SetZIPComment("bleibt");
    first.SetZIPPassword("bleibt auch");
    first.SetAppendToZIP(true);
    first.SetForceDOSNames(true);
    first.SetUpdateZIP(true);
    first.SetSuppressEvents(true);
    EXPECT_EQ(first.ZIPRootPath(), "/daten/");
    EXPECT_TRUE(first.AppendToZIP());
    EXPECT_TRUE(first.ForceDOSNames());
    EXPECT_TRUE(first.UpdateZIP());

    CZIP second;
    EXPECT_EQ(first.ZIPRootPath(), "/");
    EXPECT_FALSE(first.AppendToZIP());
    EXPECT_FALSE(first.ForceDOSNames());
    EXPECT_FALSE(first.UpdateZIP());
    EXPECT_TRUE(first.SuppressEvents());  // per object
    EXPECT_EQ(first.ZIPFilePath(), "/tmp/out.zip");
    // The texts survive, but their flags are cleared until they are set again.
    EXPECT_EQ(second.ZIPComment(), "bleibt");
    EXPECT_EQ(second.ZIPPassword(), "bleibt auch");
    first.DoZip();
    EXPECT_EQ(fake->options.comment, 0);
    EXPECT_EQ(fake->options.encrypt, 0);
    EXPECT_EQ(fake->names, std::vector<std::string>{"/a"});
}

TEST_F(ComponentTest, StateIsSharedWithinAThreadOnly) {
    CZIP mainZip;
    prepare(mainZip, {"/main"});
    mainZip.SetZIPComment("Hauptfaden");
    mainZip.SetZIPRootPath("/haupt/");
    mainZip.SetAppendToZIP(true);
    CZIP mainOther;  // resets the shared options of this thread
    mainZip.SetZIPRootPath("/haupt/");
    mainZip.SetAppendToZIP(true);
    EXPECT_EQ(mainOther.ZIPRootPath(), "/haupt/");

    fake->script = {{Phase::Archive, Action::Service, "/neben", 1}};
    EventRecorder events;
    std::string sThreadComment, sThreadRoot;
    bool bThreadAppend = true;
    int32_t lResult = -1;
    std::thread::id threadId;
    std::thread worker([&] {
        threadId = std::this_thread::get_id();
        CZIP zip;
        sThreadComment = zip.ZIPComment();
        sThreadRoot = zip.ZIPRootPath();
        bThreadAppend = zip.AppendToZIP();
        zip.SetEventListener(&events);
        zip.SetZIPFilePath("/tmp/neben.zip");
        zip.AddFile("/neben");
        zip.SetZIPComment("Nebenfaden");
        lResult = zip.DoZip();
    });
    worker.join();

    EXPECT_EQ(sThreadComment, "");
    EXPECT_EQ(sThreadRoot, "/");
    EXPECT_FALSE(bThreadAppend);
    EXPECT_EQ(lResult, 0);
    EXPECT_EQ(fake->names, std::vector<std::string>{"/neben"});
    EXPECT_EQ(fake->options.comment, 1);
    EXPECT_EQ(fake->options.grow, 0);
    ASSERT_EQ(events.names, std::vector<std::string>{"/neben"});
    EXPECT_EQ(events.threads.front(), threadId);

    EXPECT_EQ(mainZip.ZIPComment(), "Hauptfaden");
    EXPECT_EQ(mainZip.ZIPRootPath(), "/haupt/");
    EXPECT_TRUE(mainZip.AppendToZIP());
}

TEST_F(ComponentTest, EventsFollowTheEnginesReportsInOrder) {
    fake->script = {{Phase::Archive, Action::Service, "/b/leer.txt", 0},
                    {Phase::Archive, Action::Service, "/b/Grüße mit Blank.txt", -7},
                    {Phase::Archive, Action::Service, "/b/a.txt", 123456}};
    CZIP zip;
    prepare(zip, {"/b/a.txt"});
    EventRecorder events;
    std::vector<CZIP*> sources;
    events.onEvent = [&](const std::string&) {
        sources.push_back(modZIP::EngineState().ZIPEventSource);
    };
    zip.SetEventListener(&events);

    EXPECT_EQ(zip.DoZip(), 0);
    EXPECT_EQ(events.names,
              (std::vector<std::string>{"/b/leer.txt", "/b/Grüße mit Blank.txt", "/b/a.txt"}));
    EXPECT_EQ(sources, std::vector<CZIP*>(3, &zip));
    EXPECT_EQ(modZIP::EngineState().ZIPEventSource, nullptr);
    for (const auto& outcome : fake->outcomes) {
        EXPECT_EQ(outcome.result, 0);
    }
}

TEST_F(ComponentTest, SuppressedEventsAndReportsOutsideTheArchiveStepRaiseNothing) {
    CZIP zip;
    prepare(zip, {"/a"});
    EventRecorder events;
    zip.SetEventListener(&events);

    fake->script = {{Phase::Init, Action::Service, "/vor-init", 1},
                    {Phase::SetOptions, Action::Service, "/vor-archiv", 1}};
    zip.DoZip();
    EXPECT_TRUE(events.names.empty());

    fake->Reset();
    fake->script = {{Phase::Archive, Action::Service, "/a", 1}};
    zip.SetSuppressEvents(true);
    EXPECT_EQ(zip.DoZip(), 0);
    EXPECT_TRUE(events.names.empty());
    ASSERT_EQ(fake->outcomes.size(), 1u);
    EXPECT_EQ(fake->outcomes[0].result, 0);
}

TEST_F(ComponentTest, FailingArchiveStepIsReturnedAndClearsTheEventSource) {
    fake->lArchiveResult = 3;
    CZIP zip;
    prepare(zip, {"/a"});
    EXPECT_EQ(zip.DoZip(), 3);
    EXPECT_EQ(modZIP::EngineState().ZIPEventSource, nullptr);
    EXPECT_EQ(zip.Messages()->Count(), 0);  // no message of the component's own
}

TEST_F(ComponentTest, ThrowingEventHandlerIsAbsorbedAndTheRunGoesOn) {
    fake->script = {{Phase::Archive, Action::Service, "/1", 1},
                    {Phase::Archive, Action::Service, "/2", 1},
                    {Phase::Archive, Action::Service, "/3", 1}};
    CZIP zip;
    prepare(zip, {"/1", "/2", "/3"});
    EventRecorder events;
    events.onEvent = [](const std::string& name) {
        if (name == "/1") {
            throw std::runtime_error("handler failed");
        }
        if (name == "/2") {
            throw RuntimeError(5, "frmBackup", "Fehler");
        }
    };
    zip.SetEventListener(&events);
    EXPECT_EQ(zip.DoZip(), 0);
    EXPECT_EQ(events.names, (std::vector<std::string>{"/1", "/2", "/3"}));
    ASSERT_EQ(fake->outcomes.size(), 3u);
    for (const auto& outcome : fake->outcomes) {
        EXPECT_EQ(outcome.result, 0);
    }
}

TEST_F(ComponentTest, DoZipWithoutFilesOrPathLeavesTheEngineUncalled) {
    fake->script = {{Phase::Archive, Action::Print, "alt", 3}};
    CZIP zip;
    prepare(zip, {"/a"});
    zip.DoZip();
    ASSERT_EQ(zip.Messages()->Count(), 1);

    fake->Reset();
    CZIP noFiles;
    prepare(noFiles, {});
    noFiles.Messages()->Add("vom letzten Lauf");
    EXPECT_EQ(noFiles.DoZip(), 0);
    EXPECT_TRUE(fake->calls.empty());
    EXPECT_EQ(noFiles.Messages()->Count(), 0);

    CZIP noPath;
    prepare(noPath, {"/a", "/b"});
    noPath.SetZIPFilePath("");
    EXPECT_EQ(noPath.DoZip(), 0);
    EXPECT_TRUE(fake->calls.empty());
}

TEST_F(ComponentTest, MissingEngineMakesEveryCallFail) {
    TempDir dir;
    const auto archive = dir.path() / "backup.zip";
    modZIP::SetEngineFileForTesting((dir.path() / "libzip32.so").string());
    CZIP zip;
    prepare(zip, {"/etc/hostname"});
    zip.SetZIPFilePath(archive.string());
    EventRecorder events;
    zip.SetEventListener(&events);
    EXPECT_EQ(zip.DoZip(), 0);
    EXPECT_EQ(zip.Messages()->Count(), 0);
    EXPECT_FALSE(std::filesystem::exists(archive));
    EXPECT_TRUE(fake->calls.empty());
    EXPECT_EQ(modZIP::EngineState().ZIPEventSource, nullptr);

    // Once the engine is there, the next run reaches it.
    modZIP::SetEngineFileForTesting(FAKE_ENGINE_PATH);
    fake->lArchiveResult = 2;
    EXPECT_EQ(zip.DoZip(), 2);
}

TEST_F(ComponentTest, MissingEntryPointLeavesTheResultOfTheLastCallThatReturned) {
    modZIP::SetEngineFileForTesting(PARTIAL_ENGINE_PATH);
    CZIP zip;
    prepare(zip, {"/a"});
    EXPECT_EQ(zip.DoZip(), 22);
    EXPECT_EQ(modZIP::EngineState().ZIPEventSource, nullptr);
}

// The method reaches the engine before the run, only when it encrypts; a new object of the
// thread starts from the traditional method again, so a caller that never sets it gets what the
// component always wrote.
TEST_F(ComponentTest, EncryptionMethodReachesTheEngineWhenItEncrypts) {
    CZIP zip;
    prepare(zip, {"/a"});
    EXPECT_EQ(zip.ZIPEncryption(), ZIPEncryptionMethod::Traditional);
    zip.SetZIPEncryption(ZIPEncryptionMethod::AES256);
    zip.DoZip();
    EXPECT_EQ(fake->calls, (std::vector<std::string>{"ZpInit", "ZpSetOptions", "ZpArchive"}));

    fake->Reset();
    zip.SetZIPPassword("geheim");
    zip.DoZip();
    EXPECT_EQ(fake->calls,
              (std::vector<std::string>{"ZpInit", "ZpSetOptions", "ZpSetEncryption", "ZpArchive"}));
    EXPECT_EQ(fake->lEncryption, ZP_ENCRYPT_AES256);

    CZIP next;
    EXPECT_EQ(zip.ZIPEncryption(), ZIPEncryptionMethod::Traditional);
    next.SetZIPFilePath("/tmp/out.zip");
    next.AddFile("/a");
    next.SetZIPPassword("geheim");
    fake->Reset();
    next.DoZip();
    EXPECT_EQ(fake->lEncryption, ZP_ENCRYPT_TRADITIONAL);
}

// An engine from before AES archives only traditionally: under AES-256 it is not asked to write,
// since the archive would be weaker than chosen; under the traditional method it writes as ever.
TEST_F(ComponentTest, EngineWithoutAesWritesNothingUnderAes) {
    modZIP::SetEngineFileForTesting(OLD_ENGINE_PATH);
    void* engine = dlopen(OLD_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(engine, nullptr);
    const auto archived = reinterpret_cast<int (*)()>(dlsym(engine, "OldEngineArchived"));
    CZIP zip;
    prepare(zip, {"/a"});
    zip.SetZIPPassword("geheim");
    zip.SetZIPEncryption(ZIPEncryptionMethod::AES256);
    EXPECT_EQ(zip.DoZip(), ZP_ERR_PARAMETER);
    EXPECT_EQ(archived(), 0);
    EXPECT_EQ(zip.Messages()->Items(),
              std::vector<std::string>{
                  "Fehler: der ZIP-Dienst libzip32.so kann nicht mit AES-256 verschlüsseln\n"});
    zip.SetZIPEncryption(ZIPEncryptionMethod::Traditional);
    EXPECT_EQ(zip.DoZip(), ZP_OK);
    EXPECT_EQ(archived(), 1);
    dlclose(engine);
}

// After ForgetPassword no object of the thread knows the password, the next run does not
// encrypt, and the engine was told to forget its copies.
TEST_F(ComponentTest, ForgetPasswordClearsItHereAndInTheEngine) {
    CZIP zip;
    prepare(zip, {"/a"});
    zip.SetZIPPassword("geheim");
    CZIP::ForgetPassword();
    EXPECT_EQ(zip.ZIPPassword(), "");
    EXPECT_EQ(fake->calls, std::vector<std::string>{"ZpForgetPasswords"});
    zip.DoZip();
    EXPECT_EQ(fake->options.encrypt, 0);
    EXPECT_TRUE(modZIP::EngineState().sPassword.empty());
}

// A check that cannot run must never read as a passed one.
TEST_F(ComponentTest, VerifyWithoutTheEnginesCheckNeverSucceeds) {
    for (const std::string& sEngine :
         {std::string(PARTIAL_ENGINE_PATH), std::string("/fehlt.so")}) {
        SCOPED_TRACE(sEngine);
        modZIP::SetEngineFileForTesting(sEngine);
        CZIP zip;
        prepare(zip, {"/a"});
        ZIPVerifyProblem problem;
        EXPECT_EQ(zip.VerifyZIP(&problem), ZP_ERR_PARAMETER);
        EXPECT_EQ(problem.sEntry, "/tmp/out.zip");
        EXPECT_EQ(problem.sReason, "der ZIP-Dienst libzip32.so kann Archive nicht prüfen");
    }
}

// The ordinary build's library exports the component's interface only: the binding behind it and
// its test hooks stay inside.
TEST(ComponentLibrary, OrdinaryBuildExportsTheInterfaceOnly) {
#ifndef RELEASE_TV_ZIP
    GTEST_SKIP() << "no ordinary build to look at";
#else
    const auto symbols =
        componenttest::run("nm -D --defined-only -C " + componenttest::shellQuoted(RELEASE_TV_ZIP));
    ASSERT_EQ(symbols.exitCode, 0) << symbols.output;
    std::istringstream lines(symbols.output);
    std::vector<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        // "address type name", the name possibly with blanks.
        const size_t type = line.find(' ');
        if (type != std::string::npos && line.size() > type + 3) {
            names.push_back(line.substr(type + 3));
        }
    }
    for (const std::string& name : names) {
        EXPECT_TRUE(name.starts_with("CZIP::") || name.starts_with("MessageCollection::") ||
                    name == "typeinfo for RuntimeError" || name == "typeinfo name for RuntimeError")
            << name;
    }
    for (const char* needed :
         {"CZIP::DoZip()", "CZIP::VerifyZIP(ZIPVerifyProblem*)", "CZIP::CZIP()"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), needed), names.end()) << needed;
    }
#endif
}

TEST_F(ComponentTest, PrintCallbackMakesOneMessagePerCall) {
    fake->script = {{Phase::Archive, Action::Print, "  adding: a.txt", 15},
                    {Phase::Archive, Action::Print, std::string("ab\0cd", 5), 5},
                    {Phase::Archive, Action::Print, "", 0},
                    {Phase::Archive, Action::Print, "Grüße\n", 8}};
    CZIP zip;
    prepare(zip, {"/a"});
    auto messages = zip.Messages();
    zip.DoZip();
    EXPECT_EQ(messages.get(), zip.Messages().get());
    EXPECT_EQ(messages->Items(),
              (std::vector<std::string>{"  adding: a.txt", "ab", "", "Grüße\n"}));
    for (const auto& outcome : fake->outcomes) {
        EXPECT_EQ(outcome.result, 0);
    }

    // The next run starts from an empty collection.
    fake->Reset();
    zip.DoZip();
    EXPECT_EQ(messages->Count(), 0);
}

TEST_F(ComponentTest, MessagesAfterADestruction) {
    fake->script = {{Phase::Archive, Action::Print, "m1", 2}};
    CZIP survivor;
    prepare(survivor, {"/a"});
    auto held = std::make_unique<CZIP>();
    survivor.DoZip();
    const auto messages = survivor.Messages();
    EXPECT_EQ(held->Messages().get(), messages.get());
    ASSERT_EQ(messages->Count(), 1);
    EXPECT_EQ(messages->Item(1), "m1");

    held.reset();
    EXPECT_EQ(messages->Count(), 0);  // emptied in place, as the client sees it
    EXPECT_EQ(modZIP::EngineState().Messages, nullptr);

    // No collection: DoZip and the print callback cope; the callback starts a new one.
    fake->Reset();
    fake->script = {{Phase::Archive, Action::Print, "m2", 2}};
    EXPECT_EQ(survivor.DoZip(), 0);
    ASSERT_EQ(survivor.Messages()->Count(), 1);
    EXPECT_EQ(survivor.Messages()->Item(1), "m2");
    EXPECT_EQ(messages->Count(), 0);

    // A getter without a collection sees an empty one, also after a second destruction.
    fake->script.clear();
    { CZIP another; }
    EXPECT_EQ(survivor.Messages()->Count(), 0);
    { CZIP yetAnother; }
    EXPECT_EQ(survivor.DoZip(), 0);

    // Construction replaces the collection, leaving the old one to whoever holds it.
    const auto before = survivor.Messages();
    before->Add("bleibt");
    CZIP fresh;
    EXPECT_NE(fresh.Messages().get(), before.get());
    EXPECT_EQ(fresh.Messages()->Count(), 0);
    EXPECT_EQ(before->Count(), 1);
}

TEST_F(ComponentTest, CommentCallbackWritesTheCommentAndAZeroOnly) {
    CZIP zip;
    prepare(zip, {"/a"});
    fake->script = {{Phase::Archive, Action::Comment, "", 0}};

    zip.DoZip();  // empty comment: untouched
    ASSERT_EQ(fake->outcomes.size(), 1u);
    EXPECT_EQ(fake->outcomes[0].result, 1);
    EXPECT_EQ(fake->outcomes[0].buffer,
              std::vector<unsigned char>(ZP_COMMENT_BUFFER_SIZE, fakezip::kFill));

    fake->outcomes.clear();
    zip.SetZIPComment("abc");
    zip.DoZip();
    const auto& abc = fake->outcomes.at(0);
    EXPECT_EQ(abc.result, 1);
    EXPECT_EQ(std::vector<unsigned char>(abc.buffer.begin(), abc.buffer.begin() + 5),
              (std::vector<unsigned char>{0x61, 0x62, 0x63, 0x00, fakezip::kFill}));

    fake->outcomes.clear();
    zip.SetZIPComment(std::string(40000, 'k'));
    zip.DoZip();
    const auto& cut = fake->outcomes.at(0);
    EXPECT_TRUE(cut.bGuardIntact);
    EXPECT_EQ(cut.buffer.back(), 0);
    EXPECT_EQ(std::string(cut.buffer.begin(), cut.buffer.end() - 1),
              std::string(ZP_COMMENT_BUFFER_SIZE - 1, 'k'));

    // A cut never splits a character: "ä" would need the last two places.
    fake->outcomes.clear();
    zip.SetZIPComment(std::string(ZP_COMMENT_BUFFER_SIZE - 2, 'k') + "ä");
    zip.DoZip();
    const auto& umlaut = fake->outcomes.at(0);
    EXPECT_TRUE(umlaut.bGuardIntact);
    EXPECT_EQ(umlaut.buffer[ZP_COMMENT_BUFFER_SIZE - 2], 0);
    EXPECT_EQ(umlaut.buffer[ZP_COMMENT_BUFFER_SIZE - 1], fakezip::kFill);
}

TEST_F(ComponentTest, PasswordCallbackClearsTheWholeBufferFirst) {
    CZIP zip;
    prepare(zip, {"/a"});
    fake->script = {{Phase::Archive, Action::Password, "", 16}};

    zip.DoZip();  // no password: untouched
    EXPECT_EQ(fake->outcomes.at(0).result, 1);
    EXPECT_EQ(fake->outcomes.at(0).buffer, std::vector<unsigned char>(16, fakezip::kFill));

    fake->outcomes.clear();
    zip.SetZIPPassword("geheim");
    zip.DoZip();
    const auto& written = fake->outcomes.at(0);
    EXPECT_EQ(written.result, 0);
    std::vector<unsigned char> expected(16, 0);
    std::copy_n("geheim", 6, expected.begin());
    EXPECT_EQ(written.buffer, expected);
    EXPECT_TRUE(written.bGuardIntact);

    // Longer than the buffer: cut to its size less one, still zero-terminated.
    fake->outcomes.clear();
    fake->script = {{Phase::Archive, Action::Password, "", ZP_PASSWORD_BUFFER_SIZE},
                    {Phase::Archive, Action::Password, "", 1}};
    zip.SetZIPPassword(std::string(300, 'p'));
    zip.DoZip();
    const auto& cut = fake->outcomes.at(0);
    EXPECT_EQ(cut.result, 0);
    EXPECT_TRUE(cut.bGuardIntact);
    EXPECT_EQ(std::string(cut.buffer.begin(), cut.buffer.end() - 1),
              std::string(ZP_PASSWORD_BUFFER_SIZE - 1, 'p'));
    EXPECT_EQ(cut.buffer.back(), 0);
    const auto& tiny = fake->outcomes.at(1);
    EXPECT_EQ(tiny.buffer, std::vector<unsigned char>{0});
    EXPECT_TRUE(tiny.bGuardIntact);
}

TEST_F(ComponentTest, EngineChangesAreCopiedBackIntoTheSharedState) {
    fake->script = {{Phase::Archive, Action::RenameFirst, "/z", 0}};
    CZIP zip;
    prepare(zip, {"/abc"});
    EXPECT_EQ(modZIP::EngineState().ZIPOptions.Record().encryptionSupported, 0);
    zip.DoZip();
    EXPECT_EQ(modZIP::EngineState().ZIPOptions.Record().encryptionSupported, 1);
    EXPECT_EQ(modZIP::EngineState().ZIPNames[0], "/z");
    EXPECT_EQ(modZIP::EngineState().ZIPOptions.RootDir(), "/");

    // The object's own list is untouched: the next run hands the original name again.
    fake->Reset();
    zip.DoZip();
    EXPECT_EQ(fake->names, std::vector<std::string>{"/abc"});
}

TEST_F(ComponentTest, DoZipTwiceHandsTheSameFilesAgain) {
    CZIP zip;
    prepare(zip, {"/a", "/b", "/c"});
    zip.DoZip();
    zip.DoZip();
    EXPECT_EQ(fake->calls.size(), 6u);
    EXPECT_EQ(fake->names, (std::vector<std::string>{"/a", "/b", "/c"}));
    zip.AddFile("/d");
    zip.DoZip();
    EXPECT_EQ(fake->names, (std::vector<std::string>{"/a", "/b", "/c", "/d"}));

    // A shorter run of another object hands only its own names; the rest stay behind unused.
    CZIP shorter;
    prepare(shorter, {"/x"});
    shorter.DoZip();
    EXPECT_EQ(fake->lCount, 1);
    EXPECT_EQ(fake->names, std::vector<std::string>{"/x"});
    EXPECT_EQ(modZIP::EngineState().ZIPNames[1], "/b");
}

}  // namespace
