#include "sync/pulled_events.h"

#include <cerrno>
#include <cstring>

#include "events/event_manager.h"
#include "foundation/error_codes.h"
#include "foundation/logger.h"

bool PulledEvents::Begin(PStream& s, uint64_t sess) {
    stream = &s;
    sess_id = sess;
    cut_paths.clear();
    cut_seen = 0;
    if (spool.Reset() != 0) {
        NLOG_AT(L_ERR, texts.channel, texts.file, "%s: no scratch file for the pulled events: %s\n", texts.who,
                strerror(errno));
        return false;
    }
    s.SetListReceiver("event_list", [this](PObject& item) { return Add(item); });
    return true;
}

void PulledEvents::EndReceive(PStream& s) { s.SetListReceiver(ustring(), nullptr); }

bool PulledEvents::AddAll(const PObject& list, uint64_t sess) {
    sess_id = sess;
    for (const PObject& item : list.asArray())
        if (Add(item) != StreamResult::kOk) return false;
    return true;
}

StreamResult PulledEvents::Add(const PObject& item) {
    // A path cut at a zero byte is among the stream's cut texts by the time its
    // element is complete.
    if (stream != nullptr) {
        const std::vector<ustring>& cut = stream->CutTexts();
        if (cut.size() < cut_seen) cut_seen = 0;  // a new value since
        if (cut.size() != cut_seen) {
            cut_paths.insert(cut.begin() + static_cast<std::ptrdiff_t>(cut_seen), cut.end());
            cut_seen = cut.size();
        }
    }
    Event e;
    if (EventFromReply(item, sess_id, cut_paths, texts, e) != 1) return StreamResult::kOk;
    if (spool.Append(e) == 0) return StreamResult::kOk;
    NLOG_AT(L_ERR, texts.channel, texts.file, "%s: the pulled events cannot be kept: %s\n", texts.who, strerror(errno));
    return StreamResult::kSys;
}

int PulledEvents::Push(const Registry::Entry& entry, bool need_local, const std::function<StepResult()>& wait) {
    // Whatever happens, the next pull starts from an empty spool.
    struct Emptied {
        EventSpool& spool;
        ~Emptied() { (void)spool.Reset(); }
    } emptied{spool};
    if (spool.Rewind() != 0) {
        NLOG_AT(L_ERR, texts.channel, texts.file, "%s: the pulled events cannot be read back\n", texts.who);
        return ERR_SYS;
    }
    size_t in_batch = 0;
    Event e;
    for (;;) {
        const int got = spool.Next(e);
        if (got < 0) {
            NLOG_AT(L_ERR, texts.channel, texts.file, "%s: the pulled events cannot be read back\n", texts.who);
            return ERR_SYS;
        }
        if (got == 0) break;
        if (IsServerEcho(services, e, entry, need_local, texts)) continue;
        NLOG_AT(L_DEBUG, texts.channel, texts.file, "ProcessEvents: PushServerEvent:%s, sess_id = [%llu]\n",
                e.m_path.c_str_utf8(), (unsigned long long)entry.sess_id);
        services.events->PushServerEvent(e);
        if (++in_batch < kBatch) continue;
        in_batch = 0;
        // The rest is never pushed when a wait fails: the sync id must stay.
        if (wait() != StepResult::kOk) return ERR_INT;
    }
    return wait() == StepResult::kOk ? 0 : ERR_INT;
}
