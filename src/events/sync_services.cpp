#include "events/sync_services.h"

#include "events/event_manager.h"
#include "events/progress_cache.h"
#include "events/registry.h"
#include "events/session_health.h"
#include "events/ui_ipc.h"
#include "filter/black_list.h"
#include "foundation/tmp_name.h"
#include "platform/session_root.h"
#include "store/file_status_db.h"
#include "store/filter_db.h"
#include "wire/connection_pool.h"
#include "wire/protocol.h"

SyncServices SyncServices::Process() {
    SyncServices s;
    s.events = &EventManager::getInstance();
    s.registry = &Registry::getInstance();
    s.progress = &ProgressCache::getInstance();
    s.filters = &FilterDB::getInstance();
    s.system_black_list = &BlackList2::getInstance();
    s.pool = &g_pool;
    s.tmp_names = &TmpNameGen::getInstance();
    s.ui = UiReports{&UI_IPC::ReportSessionErrorToUI, &UI_IPC::ReportConnectionErrorToUI,
                     &UI_IPC::ReportFileLockedEventToUI, &UI_IPC::ReportFileEventToUI, &UI_IPC::ReportConflictToUI};
    s.health = &SessionHealth::getInstance();
    s.forget_file_status = &FileStatusDB::queueRmByPath;
    s.server_build = &GetServerBuild;
    s.open_root = &SessionRoot::Open;
    s.now = [] { return time(nullptr); };
    return s;
}
