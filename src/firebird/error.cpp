#include "firebird/error.h"

#include <ibase.h>

namespace qv::fb {

bool Error::is_duplicate_key() const { return gds_code_ == isc_unique_key_violation || gds_code_ == isc_no_dup; }
bool Error::is_in_use() const { return gds_code_ == isc_obj_in_use || gds_code_ == isc_already_opened; }

}  // namespace qv::fb
