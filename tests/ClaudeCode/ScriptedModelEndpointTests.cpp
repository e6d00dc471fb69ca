// The scripted model endpoint (tests/peers/scripted_model.py) stands in for the Messages API in
// every test that runs the real Claude Code CLI, which holds it to its contract; this one keeps the
// mended refusal of bodies without a bounded length, checked with curl.
#include "tests/support/ScriptedModel.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

using namespace vellumar;

TEST(ScriptedModelEndpoint, RefusesBodiesWithoutABoundedLength)
{
    test::TemporaryFolder folder;
    test::ScriptedModel model(folder.path(), "[]");
    const std::pair<const char*, const char*> cases[] = {
        { "Transfer-Encoding: chunked", "411" },
        { "Content-Length: 999999999999", "413" },
        { "Content-Type: application/json", "200" },
    };
    for (auto [header, status] : cases) {
        SCOPED_TRACE(header);
        test::PeerResult result
            = test::runPeer({ "curl", "-s", "-m", "30", "-o", "/dev/null", "-w", "%{http_code}", "-H", header,
                model.baseURL() + "/v1/messages", "--data-binary", R"({"messages": []})" });
        EXPECT_EQ(result.output, status);
    }
}
