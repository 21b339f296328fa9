#include "filter/filter_schema.h"

#include "filter/filter_record.h"

#define KEY(section, field, type) \
    { #field, type, offsetof(section, field) }

const schema_parser filter_schema = {
    1,
    0,
    5,
    {
        {"Version",
         offsetof(Filter, version),
         2,
         {KEY(VersionSection, major, integer32_type), KEY(VersionSection, minor, integer32_type)}},
        {"Common",
         offsetof(Filter, common),
         7,
         {KEY(CommonSection, black_char, string_type), KEY(CommonSection, black_prefix, string_set_type),
          KEY(CommonSection, black_dir_prefix, string_set_type), KEY(CommonSection, black_name, string_set_type),
          KEY(CommonSection, black_path_prefix_selective_sync, string_set_type),
          KEY(CommonSection, max_length, integer64_type), KEY(CommonSection, max_path, integer64_type)}},
        {"File",
         offsetof(Filter, file),
         8,
         {KEY(FileSection, black_char, string_type), KEY(FileSection, black_ext, string_set_type),
          KEY(FileSection, black_name, string_set_type), KEY(FileSection, black_prefix, string_set_type),
          KEY(FileSection, black_ext_selective_sync, string_set_type),
          KEY(FileSection, black_name_selective_sync, string_set_type), KEY(FileSection, max_size, integer64_type),
          KEY(FileSection, max_size_selective_sync, integer64_type)}},
        {"Directory",
         offsetof(Filter, directory),
         3,
         {KEY(DirectorySection, black_char, string_type), KEY(DirectorySection, black_name, string_set_type),
          KEY(DirectorySection, black_prefix, string_set_type)}},
        {"EA", offsetof(Filter, ea), 1, {KEY(EASection, black_ea_name, string_set_type)}},
    },
};

const schema_parser white_list_schema = {
    1,
    0,
    2,
    {
        {"Version",
         offsetof(WhiteList, version),
         2,
         {KEY(WhiteListVersionSection, major, integer32_type), KEY(WhiteListVersionSection, minor, integer32_type)}},
        {"File", offsetof(WhiteList, file), 1, {KEY(WhiteListFileSection, white_ext, string_set_type)}},
    },
};

#undef KEY
