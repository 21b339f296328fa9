#include "events/progress_cache.h"

#include "foundation/logger.h"

namespace {

const ustring& LogChannel() {
    static const ustring channel("progress_cache_debug");
    return channel;
}

}  // namespace

ProgressCache& ProgressCache::getInstance() {
    static ProgressCache instance;
    return instance;
}

void ProgressCache::addProgressEntry(uint64_t row_id, const ResumeCondition& condition) {
    MutexLock g(m_mutex);
    cache_list.push_back(Entry{row_id, condition});
    NLOG_AT(L_DEBUG, LogChannel(), "progress-cache.cpp",
            "addProgressEntry row_id = '%llu', sess_id = '%llu', sync_id = "
            "'%llu', type = '%d', desc= '%s'.",
            static_cast<unsigned long long>(row_id), static_cast<unsigned long long>(condition.sess_id),
            static_cast<unsigned long long>(condition.sync_id), static_cast<int>(condition.filter_type),
            condition.filter_desc.c_str_utf8());
}

bool ProgressCache::getProgressEntry(Entry& entry) {
    MutexLock g(m_mutex);
    if (cache_list.empty()) {
        NLOG_AT(L_DEBUG, LogChannel(), "progress-cache.cpp", "cache_list is empty. \n");
        return false;
    }
    entry = cache_list.front();
    return true;
}

bool ProgressCache::getProgressEntry(Entry& entry, const std::set<uint64_t>& skip) {
    MutexLock g(m_mutex);
    for (const auto& e : cache_list) {
        if (skip.count(e.condition.sess_id) == 0) {
            entry = e;
            return true;
        }
    }
    return false;
}

void ProgressCache::updateProgressSyncId(uint64_t row_id, uint64_t sync_id) {
    MutexLock g(m_mutex);
    for (auto& e : cache_list) {
        if (e.row_id == row_id) {
            e.condition.sync_id = sync_id;
            NLOG_AT(L_DEBUG, LogChannel(), "progress-cache.cpp", "updateProgressSyncId to %llu for row_id = %llu.\n",
                    static_cast<unsigned long long>(sync_id), static_cast<unsigned long long>(row_id));
            return;
        }
    }
}

void ProgressCache::rmProgressEntry(uint64_t row_id) {
    MutexLock g(m_mutex);
    for (auto it = cache_list.begin(); it != cache_list.end(); ++it) {
        if (it->row_id == row_id) {
            cache_list.erase(it);
            return;
        }
    }
}

bool ProgressCache::isInProgrssCache(uint64_t sess_id) {
    MutexLock g(m_mutex);
    for (const auto& e : cache_list)
        if (e.condition.sess_id == sess_id) return true;
    return false;
}

size_t ProgressCache::rmSessionEntries(uint64_t sess_id, const std::function<bool(uint64_t)>& confirm) {
    MutexLock g(m_mutex);
    if (confirm && !confirm(sess_id)) return 0;
    const size_t before = cache_list.size();
    cache_list.remove_if([sess_id](const Entry& e) { return e.condition.sess_id == sess_id; });
    return before - cache_list.size();
}

void ProgressCache::clear() {
    MutexLock g(m_mutex);
    cache_list.clear();
}

size_t ProgressCache::size() {
    MutexLock g(m_mutex);
    return cache_list.size();
}
