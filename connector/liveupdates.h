#pragma once
// LiveUpdates: the buffer between the protocol client's reader thread and the GUI thread for
// what the server pushes on its own (parameter changes, broadcasts, bus texts).
//
// Parameter changes are coalesced: one entry per parameter, holding its latest value and how many
// changes it stands for, so memory follows the number of distinct parameters and never the rate
// of the stream. Texts that must not be merged (broadcasts, bus texts, the log and logic channels)
// wait in a queue of bounded length and size; when it is full the oldest are dropped and counted.
//
// The reader adds, the GUI takes the texts and at most a given number of parameters at once (the
// rest wait for the next take, so one take's work on the GUI thread stays bounded under a flood). The wake
// function runs (on the adding thread, outside the lock) only when the buffer was drained before, so at most
// one wake-up is on its way to the GUI however fast changes come.
#include <QString>

#include <QHash>
#include <QSet>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class LiveUpdates {
public:
    // Distinct parameters held between two takes; a change of a parameter beyond that is dropped
    // (and counted): a server sends far fewer parameters than this.
    static constexpr int kMaxParameters = 200000;
    // Texts waiting between two takes, and the longest text kept (longer ones are cut).
    static constexpr int kMaxTexts = 1000;
    static constexpr int kMaxTextChars = 64 * 1024;

    struct Parameter {
        uint32_t id = 0;
        QString value;
        QString scope;
        quint32 changes = 0;
        // How many of the changes were answers to a value request (the rest were pushed): the
        // page counts a loaded value even when a pushed change followed it within the tick.
        quint32 answers = 0;
    };

    struct Text {
        enum Kind { ParameterEvent, Broadcast, Zephron };
        Kind kind = Broadcast;
        uint32_t id = 0; // ParameterEvent only
        QString text;    // the value for a ParameterEvent
        QString scope;   // ParameterEvent only
    };

    struct Batch {
        std::vector<Parameter> parameters; // in the order of each parameter's first change
        std::vector<Text> texts;           // oldest first
        quint64 droppedTexts = 0;          // since construction
        quint64 droppedParameters = 0;     // since construction
        bool more = false;                 // parameters were left for the next take
    };

    explicit LiveUpdates(std::function<void()> wake = {});

    // Parameters whose every change matters (log and logic channels): they travel as texts.
    void setEventIds(const QSet<uint32_t> &ids);

    void addParameter(uint32_t id, const QString &value, const QString &scope);
    void addText(Text text);
    // The texts and the first maxParameters parameters held. When nothing is left the next add
    // wakes the GUI anew; when parameters are left (Batch::more) no wake-up comes for them and
    // the caller takes again.
    Batch take(size_t maxParameters = size_t(-1));

    quint64 droppedTexts() const;

private:
    void wakeIfDrained(std::unique_lock<std::mutex> &lock);

    const std::function<void()> m_wake;
    mutable std::mutex m_lock; // held only while the containers below are read or written
    QSet<uint32_t> m_eventIds;
    // parameter id -> its sequence number; its position in m_parameters is that less m_taken
    QHash<uint32_t, quint64> m_index;
    std::deque<Parameter> m_parameters;
    quint64 m_taken = 0; // parameters taken from the front of m_parameters so far
    std::deque<Text> m_texts;
    quint64 m_droppedTexts = 0;
    quint64 m_droppedParameters = 0;
    bool m_wakePending = false;
};
