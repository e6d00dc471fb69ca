// A model launched in a temporary folder that stands in for the user's home, settings and data
// folders, with a text table that shows each key.
#pragma once

#include "Vellumar_for_Mac/Model/AppModel.h"

#include "tests/Vellumar_for_Mac/QtTestSupport.h"
#include "tests/support/TestSupport.h"

#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <functional>
#include <memory>

namespace vellumar::test {

struct PhoneAnswer {
    int status = 0;
    std::string body;
};

// curl as a phone calling `target` at the model's running relay, pinned to `pin` (a base64 SHA-256),
// else to the relay's own public key.
inline PhoneAnswer curlAsPhone(
    AppModel& model, const std::string& target, std::vector<std::string> extra, std::string pin = {})
{
    if (pin.empty())
        pin = model.host().identity()->pins.publicKeyBase64;
    std::vector<std::string> argv { "curl", "-sS", "--http1.1", "--max-time", "30", "-k", "--pinnedpubkey",
        "sha256//" + pin, "-w", "\n%{http_code}" };
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back("https://127.0.0.1:" + std::to_string(model.host().port().value_or(0)) + target);
    auto result = runPeer(argv);
    auto cut = result.output.rfind('\n');
    if (result.exitStatus != 0 || cut == std::string::npos)
        return { 0, "curl failed: " + result.output };
    return { std::stoi(result.output.substr(cut + 1)), result.output.substr(0, cut) };
}

// Pairs a phone named `deviceName` with `code`.
inline PhoneAnswer pairAsPhone(
    AppModel& model, const std::string& code, const std::string& deviceName = "Pixel", std::string pin = {})
{
    return curlAsPhone(model, "/v1/pair",
        { "--data", R"({"code": ")" + code + R"(", "deviceName": ")" + deviceName + R"("})" },
        std::move(pin));
}

class AppModelTest : public ::testing::Test {
protected:
    AppModel::Launch launchIn(const TemporaryFolder& folder) const { return launchIn(folder.path()); }

    AppModel::Launch launchIn(const std::filesystem::path& folder) const
    {
        AppModel::Launch launch;
        launch.defaultsFile = folder / "config/Vellumar/defaults.json";
        launch.dataFolder = folder / "data/Vellumar";
        launch.home = folder / "home";
        launch.loginShell = "/bin/sh";
        launch.loginItemFile = folder / "config/autostart/vellumar.desktop";
        launch.entitlementsFile = folder / "app/vellumar.entitlements.json";
        launch.appVersion = "3.0";
        launch.machineInfo = folder / "machine-info";
        launch.keychainFolder = folder / "data/Vellumar/keychain";
        launch.texts = Texts({});
        return launch;
    }

    std::unique_ptr<AppModel> launch() { return std::make_unique<AppModel>(launchIn(m_folder)); }

    std::filesystem::path defaultsFile() const { return m_folder / "config/Vellumar/defaults.json"; }

    TemporaryFolder m_folder;
};

// With a running application, so that the core's calls reach the model.
class AppModelEventTest : public AppModelTest {
protected:
    int m_argc = 1;
    char m_name[16] = "app_model_tests";
    char* m_argv[2] = { m_name, nullptr };
    QCoreApplication m_application { m_argc, m_argv };
};

}
