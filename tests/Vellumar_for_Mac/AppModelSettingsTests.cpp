#include "AppModelFixture.h"

#include "tests/support/FileFixtures.h"

#include <nlohmann/json.hpp>

#include <regex>

using namespace vellumar;
using namespace vellumar::test;

namespace {

nlohmann::json storedDefaults(const std::filesystem::path& file)
{
    return nlohmann::json::parse(readFile(file));
}

bool isUpperCaseUUID(const std::string& text)
{
    static const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    return std::regex_match(text, form);
}

}

TEST_F(AppModelTest, FirstLaunchTakesTheSwitchesDefaultsAndWritesOnlyTheMacID)
{
    auto model = launch();
    EXPECT_FALSE(model->useTailscale());
    EXPECT_FALSE(model->routinesEnabled());
    EXPECT_TRUE(model->terminalEnabled());
    EXPECT_FALSE(model->onboardingCompleted());
    EXPECT_FALSE(model->launchAtLogin());
    EXPECT_EQ(model->serverState(), AppModel::ServerState(AppModel::ServerStarting {}));
    EXPECT_FALSE(model->host().options().routines());
    EXPECT_TRUE(model->host().options().terminal());

    auto stored = storedDefaults(defaultsFile());
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_TRUE(isUpperCaseUUID(stored.at("macID").get<std::string>()));
    EXPECT_EQ(stored.at("macID").get<std::string>(), model->host().configuration().macID);
    // Nothing is made in the data folder before the start.
    EXPECT_EQ(namesIn(m_folder.path()), (std::set<std::string> { "config" }));
    EXPECT_EQ(namesIn(defaultsFile().parent_path()), std::set<std::string> { "defaults.json" });
}

TEST_F(AppModelTest, StoredSwitchesReachTheHost)
{
    writeBytes(defaultsFile(),
        R"({"macID":"6F1C2E3A-0B4D-4C5E-8F60-718293A4B5C6","routinesEnabled":false,"terminalEnabled":"yes",)"
        R"("useTailscale":true,"onboardingCompleted":true})");
    writeBytes(m_folder / "config/autostart/vellumar.desktop", "[Desktop Entry]\nExec=vellumar\n");
    auto model = launch();
    EXPECT_TRUE(model->useTailscale());
    EXPECT_FALSE(model->routinesEnabled());
    EXPECT_TRUE(model->terminalEnabled());
    EXPECT_TRUE(model->onboardingCompleted());
    EXPECT_TRUE(model->launchAtLogin());
    EXPECT_FALSE(model->host().options().routines());
    EXPECT_TRUE(model->host().options().terminal());
    // A value that is not a Bool is left as the user's file had it.
    EXPECT_EQ(storedDefaults(defaultsFile()).at("terminalEnabled"), "yes");
}

TEST_F(AppModelTest, AnUnusableMacIDIsReplacedAndAValidOneKept)
{
    const struct {
        const char* name;
        std::optional<std::string> stored; // the JSON value
        bool kept;
    } cases[] = {
        { "absent", std::nullopt, false },
        { "not a UUID", R"("nope")", false },
        { "braces", R"("{6f1c2e3a-0b4d-4c5e-8f60-718293a4b5c6}")", false },
        { "one digit short", R"("6f1c2e3a-0b4d-4c5e-8f60-718293a4b5c")", false },
        { "not hexadecimal", R"("6f1c2e3a-0b4d-4c5e-8f60-718293a4b5cg")", false },
        { "not a string", "42", false },
        { "lower case", R"("6f1c2e3a-0b4d-4c5e-8f60-718293a4b5c6")", true },
        { "upper case", R"("6F1C2E3A-0B4D-4C5E-8F60-718293A4B5C6")", true },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        TemporaryFolder folder;
        auto launchValues = launchIn(folder);
        if (testCase.stored)
            writeBytes(launchValues.defaultsFile, R"({"macID":)" + *testCase.stored + "}");
        AppModel model(launchValues);
        std::string id = model.host().configuration().macID;
        auto stored = storedDefaults(launchValues.defaultsFile).at("macID");
        EXPECT_EQ(stored, id);
        if (testCase.kept) {
            EXPECT_EQ(nlohmann::json::parse(*testCase.stored), id);
        } else {
            EXPECT_TRUE(isUpperCaseUUID(id)) << id;
        }
    }
}

TEST_F(AppModelTest, TheMacIDStaysTheSameAcrossLaunches)
{
    std::string first = launch()->host().configuration().macID;
    EXPECT_EQ(launch()->host().configuration().macID, first);
}

TEST_F(AppModelTest, ASwitchSetToItsOwnValueStillWritesTheDefaultThenTellsTheCore)
{
    auto model = launch();
    int announcements = 0;
    QObject::connect(model.get(), &AppModel::routinesEnabledChanged, [&] { ++announcements; });
    model->host().options().setRoutines(true);
    std::filesystem::remove(defaultsFile());

    model->setRoutinesEnabled(false);
    EXPECT_EQ(storedDefaults(defaultsFile()).at("routinesEnabled"), false);
    EXPECT_FALSE(model->host().options().routines());
    EXPECT_EQ(announcements, 0);

    model->setRoutinesEnabled(true);
    EXPECT_EQ(storedDefaults(defaultsFile()).at("routinesEnabled"), true);
    EXPECT_TRUE(model->host().options().routines());
    EXPECT_EQ(announcements, 1);
}

TEST_F(AppModelTest, TheTerminalAndTailscaleSwitchesAreStored)
{
    auto model = launch();
    model->setTerminalEnabled(false);
    model->setUseTailscale(true);
    EXPECT_FALSE(model->host().options().terminal());
    auto stored = storedDefaults(defaultsFile());
    EXPECT_EQ(stored.at("terminalEnabled"), false);
    EXPECT_EQ(stored.at("useTailscale"), true);

    auto relaunched = launch();
    EXPECT_FALSE(relaunched->terminalEnabled());
    EXPECT_TRUE(relaunched->useTailscale());
    EXPECT_FALSE(relaunched->host().options().terminal());
}

TEST_F(AppModelTest, TheLocatorUsesTheLoginShell)
{
    auto model = launch();
    EXPECT_EQ(model->locator().shell(), "/bin/sh");
    EXPECT_EQ(model->loginPath()->stored(), std::nullopt);
}
