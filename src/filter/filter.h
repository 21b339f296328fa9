// The filter engine in one include: records, reader, writer and matcher.
#pragma once

#include "filter/filter_codes.h"
#include "filter/filter_matcher.h"
#include "filter/filter_parser.h"
#include "filter/filter_record.h"
#include "filter/filter_schema.h"
#include "filter/filter_writer.h"
