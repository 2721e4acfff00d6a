#include "liveupdates.h"

#include <algorithm>
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
        Parameter &p = m_parameters[size_t(*found - m_taken)];
        p.value = value;
        p.scope = scope;
        ++p.changes;
        p.answers += answer;
    } else if (m_parameters.size() < size_t(kMaxParameters)) {
        m_index.insert(id, m_taken + m_parameters.size());
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

LiveUpdates::Batch LiveUpdates::take(size_t maxParameters) {
    Batch batch;
    std::lock_guard<std::mutex> lock(m_lock);
    const size_t n = std::min(maxParameters, m_parameters.size());
    batch.parameters.reserve(n);
    if (n == m_parameters.size()) {
        batch.parameters.assign(std::make_move_iterator(m_parameters.begin()),
                                std::make_move_iterator(m_parameters.end()));
        m_parameters.clear();
        m_index.clear();
        m_taken = 0;
    } else {
        for (size_t i = 0; i < n; ++i) {
            m_index.remove(m_parameters.front().id);
            batch.parameters.push_back(std::move(m_parameters.front()));
            m_parameters.pop_front();
        }
        m_taken += n;
    }
    batch.texts.assign(std::make_move_iterator(m_texts.begin()), std::make_move_iterator(m_texts.end()));
    m_texts.clear();
    batch.droppedTexts = m_droppedTexts;
    batch.droppedParameters = m_droppedParameters;
    batch.more = !m_parameters.empty();
    m_wakePending = batch.more;
    return batch;
}

quint64 LiveUpdates::droppedTexts() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_droppedTexts;
}
