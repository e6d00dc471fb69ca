#include "VellumarMacCore/Foundations/OpenForWriting.h"

#include "tests/support/InteractivePeer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace vellumar {
namespace {

    // A writer that opens the file in a loop breaks every lease a check holds meanwhile: the program
    // checking goes on, and once the writer has gone the answers are the kernel's again.
    TEST(OpenForWriting, OutlivesAWriterOpeningTheFileDuringTheChecks)
    {
        test::TemporaryFolder folder;
        const auto file = folder / "pre-commit";
        std::ofstream(file) << "#!/bin/sh\n";
        test::InteractivePeer writer({ "python3", "-c",
            "import os, sys\nprint('opening', flush=True)\nopened = 0\nparent = os.getppid()\n"
            "while not os.path.exists(sys.argv[2]) and os.getppid() == parent:\n"
            "    os.close(os.open(sys.argv[1], os.O_WRONLY))\n    opened += 1\nprint(opened)",
            file.string(), (folder / "stop").string() });
        ASSERT_EQ(writer.readLine(), "opening");
        int refused = 0;
        for (int check = 0; check < 3000; ++check)
            refused += isOpenForWriting(file) ? 0 : 1;
        std::ofstream(folder / "stop") << "";
        EXPECT_GT(std::stoi(writer.readLine().value_or("0")), 0);
        EXPECT_EQ(writer.wait(), 0);
        EXPECT_GT(refused, 0) << "no check held a lease a writer could break";

        EXPECT_FALSE(isOpenForWriting(file));
        const int held = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(held, 0);
        EXPECT_TRUE(isOpenForWriting(file));
        ::close(held);
    }

}
}
