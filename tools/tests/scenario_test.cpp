#include <gtest/gtest.h>

#include "scenario.h"
#include "test_support.h"

using smdhost::InputValue;
using smdhost::parseScenario;
using smdhost::ScenarioError;
using smdhost::ScenarioStep;

TEST(Scenario, ReadsValuesCommandsAndSupplySteps) {
    const auto sc = parseScenario(
        "# header\n"
        "0    930 535 5350 2200   # start\n"
        "\n"
        "1.5  command   sps2: write 40 535  \n"
        "2    -   520~540 x  -12\n"
        "3    supply silent\n",
        "t.scn");
    ASSERT_EQ(sc.steps.size(), 4u);
    EXPECT_EQ(sc.steps[0].type, ScenarioStep::inputs);
    EXPECT_EQ(sc.steps[0].values[3].kind, InputValue::fixed);
    EXPECT_EQ(sc.steps[0].values[3].lo, 2200);
    EXPECT_EQ(sc.steps[1].type, ScenarioStep::command);
    EXPECT_DOUBLE_EQ(sc.steps[1].at, 1.5);
    EXPECT_EQ(sc.steps[1].text, "sps2: write 40 535");
    const auto& v = sc.steps[2].values;
    EXPECT_EQ(v[0].kind, InputValue::keep);
    EXPECT_EQ(v[1].kind, InputValue::jitter);
    EXPECT_EQ(v[1].lo, 520);
    EXPECT_EQ(v[1].hi, 540);
    EXPECT_EQ(v[2].kind, InputValue::absent);
    EXPECT_EQ(v[3].lo, -12);
    EXPECT_EQ(sc.steps[3].type, ScenarioStep::supply);
    EXPECT_EQ(sc.steps[3].text, "silent");
}

TEST(Scenario, RejectsMalformedLinesNamingTheLine) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "no input values"},
        {"0 1 2 3\n", "line 1: expected a time and four values"},
        {"0 1 2 3 4\nsoon 1 2 3 4\n", "line 2: time 'soon'"},
        {"0 1 2 3 4\n-1 1 2 3 4\n", "line 2: time '-1'"},
        {"5 1 2 3 4\n2 1 2 3 4\n", "line 2: time goes backwards"},
        {"0 - 2 3 4\n", "line 1: the first row must give every input"},
        {"0 1 2 3 4\n1 1 9~3 3 4\n", "line 2: value '9~3' of ai2"},
        {"0 1 2 3 4\n1 1 2 3 4.5\n", "value '4.5' of ai4"},
        {"0 1 2 3 4\n1 supply loud\n", "supply takes one of echo, wrong, silent"},
        {"0 1 2 3 4\n1 command\n", "command without text"},
        {"0 1 2 3 4\n1\n", "nothing happens at 1"},
        // Values and times a board thread could not handle.
        {"0 -9223372036854775808~9223372036854775807 2 3 4\n", "line 1: value '-9223372036854775808~"},
        {"0 1 2 3 4\n1 1 2 3 1000000001\n", "line 2: value '1000000001' of ai4"},
        {"0 1 2 3 4\n9.3e9 1 2 3 4\n", "line 2: time '9.3e9' is past"},
    };
    for (const auto& c : cases) {
        try {
            parseScenario(c.text, "bad.scn");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ScenarioError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
                << e.what() << " | wanted: " << c.message;
            EXPECT_NE(std::string(e.what()).find("bad.scn"), std::string::npos);
        }
    }
}

TEST(Scenario, FindsShippedScenariosByName) {
    plortest::TempDir dir;
    dir.write("demo.scn", "0 1 2 3 4\n");
    const auto sc = smdhost::loadScenario("demo", {dir.path() + "/missing", dir.path()});
    EXPECT_EQ(sc.name, "demo");
    EXPECT_THROW(smdhost::loadScenario("nope", {dir.path()}), ScenarioError);
    // The shipped ones parse.
    for (const char* name : {"normal", "mains-failure", "dc-low", "unstable"})
        EXPECT_NO_THROW(smdhost::loadScenario(name, {PLOR_SOURCE_DIR "/examples/scenarios"}))
            << name;
}
