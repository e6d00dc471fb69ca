// The progress of a running job as Claude Code's output reveals it, passed from the stream
// parser through the process supervisor to the job engine.
#pragma once

#include <string>
#include <utility>

namespace vellumar {

struct RunnerEvent {
    // Declaration order is part of the contract: the job engine may rank or persist by it.
    enum class Kind { tool, interim, thinking, writing, preparing, compacting, attaching };

    Kind kind { Kind::thinking };
    // The tool's name for `tool`, the assistant's text for `interim`; empty for every other kind.
    std::string text;

    static RunnerEvent tool(std::string name) { return { Kind::tool, std::move(name) }; }
    static RunnerEvent interim(std::string text) { return { Kind::interim, std::move(text) }; }
    static RunnerEvent thinking() { return { Kind::thinking, {} }; }
    static RunnerEvent writing() { return { Kind::writing, {} }; }
    static RunnerEvent preparing() { return { Kind::preparing, {} }; }
    static RunnerEvent compacting() { return { Kind::compacting, {} }; }
    static RunnerEvent attaching() { return { Kind::attaching, {} }; }

    friend bool operator==(const RunnerEvent&, const RunnerEvent&) = default;
};

}
