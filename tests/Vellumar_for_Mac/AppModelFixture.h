// A model launched in a temporary folder that stands in for the user's home, settings and data
// folders, with a text table that shows each key.
#pragma once

#include "Vellumar_for_Mac/Model/AppModel.h"

#include "tests/support/TestSupport.h"

#include "VellumarMacCore/RelayHost/RelayHost.h"

#include <gtest/gtest.h>

#include <memory>

namespace vellumar::test {

class AppModelTest : public ::testing::Test {
protected:
    AppModel::Launch launchIn(const TemporaryFolder& folder) const
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

}
