#include "events/activity_log.h"

#include <string>

#include "events/registry.h"
#include "foundation/logger.h"
#include "platform/session_root.h"

void LogItemDone(const Event& e) {
    if (!Logger::Wants(Logger::L_INFO, "worker_debug")) return;
    const bool removal = e.m_type == Event::EV_REMOVE;
    const char* what = removal ? (e.isServerEvent() ? "removed locally" : "removed on the server")
                               : (e.isServerEvent() ? "downloaded" : "uploaded");
    Registry::Entry entry;
    const ustring folder = Registry::getInstance().Find(e.m_sess_id, entry) == 1 ? entry.local_path : ustring("?");
    uint64_t size = e.m_data_size;
    FILE_INFO info;
    // A local event learns its size only while it is uploaded: ask the folder.
    if (!removal && !e.isDir() && !e.isServerEvent() && entry.root &&
        entry.root->Stat(e.m_path, info) == FsResult::kOk && info.isExist) {
        size = info.size;
    }
    const std::string detail = e.isDir() ? " (folder)" : removal ? "" : " (" + std::to_string(size) + " bytes)";
    NLOG_AT(L_INFO, "worker_debug", "activity_log.cpp", "%s '%s'%s in %s\n", what, e.m_path.c_str_utf8(),
            detail.c_str(), folder.c_str_utf8());
}
