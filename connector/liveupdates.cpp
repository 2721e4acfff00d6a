#include "liveupdates.h"

#include <utility>

LiveUpdates::LiveUpdates(std::function<void()> wake) : m_wake(std::move(wake)) {}

void LiveUpdates::setEventIds(const QSet<uint32_t> &ids) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_eventIds = ids;
}

void LiveUpdates::addParameter(uint32_t id, const QString &value, const QString &scope) {
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_eventIds.contains(id)) {
        lock.unlock();
        Text text;
        text.kind = Text::ParameterEvent;
        text.id = id;
        text.text = value;
        text.scope = scope;
        addText(std::move(text));
        return;
    }
    const quint32 answer = scope == QLatin1String("Response") ? 1 : 0;
    const auto found = m_index.constFind(id);
    if (found != m_index.constEnd()) {
        Parameter &p = m_parameters[size_t(*found)];
        p.value = value;
        p.scope = scope;
        ++p.changes;
        p.answers += answer;
    } else if (m_parameters.size() < size_t(kMaxParameters)) {
        m_index.insert(id, int(m_parameters.size()));
        m_parameters.push_back(Parameter{id, value, scope, 1, answer});
    } else {
        ++m_droppedParameters;
        return;
    }
    wakeIfDrained(lock);
}

void LiveUpdates::addText(Text text) {
    if (text.text.size() > kMaxTextChars)
        text.text.truncate(kMaxTextChars);
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_texts.size() >= size_t(kMaxTexts)) {
        m_texts.pop_front();
        ++m_droppedTexts;
    }
    m_texts.push_back(std::move(text));
    wakeIfDrained(lock);
}

void LiveUpdates::wakeIfDrained(std::unique_lock<std::mutex> &lock) {
    if (m_wakePending)
        return;
    m_wakePending = true;
    lock.unlock();
    if (m_wake)
        m_wake();
}

LiveUpdates::Batch LiveUpdates::take() {
    Batch batch;
    std::lock_guard<std::mutex> lock(m_lock);
    batch.parameters.swap(m_parameters);
    m_index.clear();
    batch.texts.assign(std::make_move_iterator(m_texts.begin()), std::make_move_iterator(m_texts.end()));
    m_texts.clear();
    batch.droppedTexts = m_droppedTexts;
    batch.droppedParameters = m_droppedParameters;
    m_wakePending = false;
    return batch;
}

quint64 LiveUpdates::droppedTexts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_droppedTexts;
}
