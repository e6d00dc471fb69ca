// One registry of what the live runs of this process hold in the user's folders, as Git keeps one list
// of its lock and temporary files: the units the Git guard noted, the names it keeps off, the places
// the guard's runs may write in, the "commondir" placeholders, the sandbox's placeholders and the trades
// of two folders' names the guard takes in steps. A process killed during a run cannot undo any of it,
// so each entry is in a record in the data folder before its owner acts on it, and the next start hands
// each owner what no live run holds (`Locked::leftBehind`).
//
// An entry is of a kind, has a key that names it among that kind's and a payload that its owner reads
// back, and is counted by the live runs holding it. One record format serves every kind, but each kind
// has a file of its own: the guard's payloads (copies of hooks and configurations) come to megabytes
// with a thousand repositories, and a placeholder held at every run's start would otherwise rewrite
// them too. While any run is live under the registry, its heartbeat beats (`LiveRunsHeartbeat`).
#pragma once

#include "VellumarMacCore/Foundations/LiveRunsHeartbeat.h"

#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vellumar {

class LiveRuns {
public:
    enum class Kind {
        guardedUnit,
        keptOffName,
        commonDirPlaceholder,
        sandboxPlaceholder,
        writablePlace,
        folderTrade
    };
    static constexpr std::size_t kindCount = 6;

    struct Entry {
        std::string key;
        std::string payload;

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    struct Decoded {
        // Every entry read, and of one cut short its key with what there is of its payload.
        std::vector<Entry> entries;
        bool damaged = false;
    };
    // The bytes of a kind's record naming `entries`, and back.
    static std::string encoded(std::span<const Entry> entries);
    static Decoded decoded(std::string_view bytes);

    // A record that an older build wrote in a form of its own, read once through `read` and then
    // carried into the kind's record.
    struct OlderRecord {
        std::filesystem::path file;
        std::function<Decoded(const std::filesystem::path& file)> read;
    };

    // The registry whose records are in `folder`, one for the process's life. Any thread.
    static LiveRuns& in(const std::filesystem::path& folder);
    static std::filesystem::path recordOf(const std::filesystem::path& folder, Kind kind);
    static std::filesystem::path heartbeatOf(const std::filesystem::path& folder);
    // The folder its records are in.
    const std::filesystem::path& folder() const noexcept { return m_folder; }

    // A live run: while one lives, the heartbeat beats, its first beat written before the constructor
    // returns, so before any record names what the run holds. Once the last ends, the beat stops, and
    // its file goes when no record is left.
    class Run {
    public:
        explicit Run(const std::filesystem::path& folder);
        ~Run();
        Run(const Run&) = delete;
        Run& operator=(const Run&) = delete;

        LiveRuns& registry() const noexcept { return m_registry; }

    private:
        LiveRuns& m_registry;
    };

    // The registry while its lock is held. Its owners act on the user's folders through it, so that
    // no two runs act on one entry at once; nothing done under it may take it again.
    class Locked {
    public:
        // The payload of an entry held, or kept with no run holding it.
        const std::string* find(Kind kind, const std::string& key) const;
        // Whether the entry is kept with no run holding it (`retain`).
        bool isUnheld(Kind kind, const std::string& key) const;
        // Counts a run in; the payload given is taken where no run holds the entry. The payload held.
        const std::string& hold(Kind kind, Entry entry);
        // Counts a run out: the entry when that was the last run holding it, which is then forgotten.
        std::optional<Entry> release(Kind kind, const std::string& key);
        // Keeps an entry no run holds in the record, for the next start to hand back, until a run holds
        // it or `forget`.
        void retain(Kind kind, Entry entry);
        void forget(Kind kind, const std::string& key);
        void update(Kind kind, const std::string& key, std::string payload);
        // The entries kept that no run holds, and the keys of all.
        std::vector<Entry> unheld(Kind kind) const;
        std::vector<std::string> keys(Kind kind) const;

        // Replaces the kind's record (a private file, whole, atomically) with one naming its entries,
        // or removes it when there are none. Throws the errors of `writePrivateFile`.
        void write(Kind kind);

        // For the program's start, before its first run: the entries of the kind's record, and of
        // `older` records, that no live run holds, a write a killed process had begun removed. An
        // older record is carried into the kind's before it is removed. A damaged record is logged,
        // and what could be read of it is handed back. The owner acts on them, then `write`s, so that
        // the record names only what is held. Never throws but for memory.
        std::vector<Entry> leftBehind(Kind kind, std::span<const OlderRecord> older = {});

    private:
        friend class LiveRuns;
        explicit Locked(LiveRuns& registry);

        LiveRuns& m_registry;
        std::unique_lock<std::mutex> m_lock;
    };
    Locked locked() { return Locked(*this); }

    LiveRuns(const LiveRuns&) = delete;
    LiveRuns& operator=(const LiveRuns&) = delete;

private:
    explicit LiveRuns(std::filesystem::path folder);

    struct Held {
        int runs = 0;
        std::string payload;
    };
    std::map<std::string, Held>& entriesOf(Kind kind) { return m_kinds[static_cast<std::size_t>(kind)]; }
    // The beat's file goes once no run is live and no record is left: nothing to tell about.
    void removeIdleBeat();

    const std::filesystem::path m_folder;
    std::mutex m_lock;
    std::array<std::map<std::string, Held>, kindCount> m_kinds;
    int m_runs = 0;
    std::unique_ptr<LiveRunsHeartbeat> m_heartbeat;
};

}
