#include "filter/white_list.h"

#include "filter/filter_matcher.h"
#include "filter/filter_parser.h"

WhiteListCpp::WhiteListCpp() { white_list_init(&list); }

WhiteListCpp::~WhiteListCpp() { white_list_destroy(&list); }

bool WhiteListCpp::Load(const ustring& path) {
    MutexLock g(lock);
    white_list_destroy(&list);
    white_list_init(&list);
    if (!white_list_read(&list, path)) {
        white_list_init(&list);
        return false;
    }
    return true;
}

void WhiteListCpp::Clear() {
    MutexLock g(lock);
    white_list_destroy(&list);
    white_list_init(&list);
}

bool WhiteListCpp::Test(const ustring& name) const {
    MutexLock g(lock);
    return white_list_test(&list, name.c_str_utf8());
}
