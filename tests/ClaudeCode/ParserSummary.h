// One line that pins what a run showed: its progress events and every part of the parser's record
// that is not at its default. Shared by the suites of the parser, the supervisor and the real CLI.
#pragma once

#include "VellumarMacCore/ClaudeCode/ClaudeStreamParser.h"

#include <sstream>
#include <string>
#include <vector>

namespace vellumar::test {

inline std::string parserSummary(const std::vector<RunnerEvent>& events, const ClaudeStreamParser& parser)
{
    static constexpr const char* kinds[]
        = { "tool", "interim", "thinking", "writing", "preparing", "compacting", "attaching" };
    std::ostringstream out;
    for (const RunnerEvent& event : events) {
        out << kinds[static_cast<int>(event.kind)];
        if (event.kind == RunnerEvent::Kind::tool || event.kind == RunnerEvent::Kind::interim)
            out << "(" << event.text << ")";
        out << " ";
    }
    out << "| n=" << parser.eventCount();
    if (parser.sessionID())
        out << " session=" << *parser.sessionID();
    if (const auto& final = parser.final())
        out << " final=" << final->text << "/" << (final->isError ? "error" : "ok") << "/"
            << final->subtype.value_or("-");
    for (const auto& tool : parser.tools()) {
        out << " tool=" << tool.id << "/" << tool.tool << "/" << tool.kind << "/" << tool.target << "/"
            << tool.status << "/" << (tool.input ? tool.input->encoded() : "-");
    }
    for (const auto& [id, call] : parser.pending())
        out << " pending=" << id << "/" << call.name;
    for (const auto& denial : parser.denials()) {
        out << " denial=" << denial.tool << "/" << denial.toolUseID.value_or("-") << "/"
            << (denial.input ? denial.input->encoded() : "-");
    }
    if (auto context = parser.contextJSON())
        out << " context=" << context->encoded();
    else if (parser.contextWindow())
        out << " window=" << *parser.contextWindow();
    if (parser.compacted())
        out << " compacted";
    if (!parser.lastAssistantText().empty())
        out << " text=" << parser.lastAssistantText();
    for (const auto& waiting : parser.pendingText())
        out << " waiting=" << waiting;
    return out.str();
}

}
