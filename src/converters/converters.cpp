// The seventeen table converters that run on the frame. Each finds its item
// (old file, destination table, rule) in the registry by its own name.
#include "converters/frame.h"
#include "registry/registry.h"

namespace qv {

namespace {

void convert_item(Tconversion_form& form, registry::Entry entry, const std::string& dbname) {
  conv::convert_table(form, dbname, registry::item_of(entry), form.row_errors());
}

}  // namespace

using F = Tconversion_form;

void F::convert_carrier_4(Sender, std::string dbname) { convert_item(*this, &F::convert_carrier_4, dbname); }
void F::convert_category_4(Sender, std::string dbname) { convert_item(*this, &F::convert_category_4, dbname); }
void F::convert_city_4(Sender, std::string dbname) { convert_item(*this, &F::convert_city_4, dbname); }
void F::convert_comment_4(Sender, std::string dbname) { convert_item(*this, &F::convert_comment_4, dbname); }
void F::convert_comment_js_4(Sender, std::string dbname) { convert_item(*this, &F::convert_comment_js_4, dbname); }
void F::convert_config_4(Sender, std::string dbname) { convert_item(*this, &F::convert_config_4, dbname); }
void F::convert_contact_name_4(Sender, std::string dbname) { convert_item(*this, &F::convert_contact_name_4, dbname); }
void F::convert_quorvel_4(Sender, std::string dbname) { convert_item(*this, &F::convert_quorvel_4, dbname); }
void F::convert_item_4(Sender, std::string dbname) { convert_item(*this, &F::convert_item_4, dbname); }
void F::convert_js_edit_4(Sender, std::string dbname) { convert_item(*this, &F::convert_js_edit_4, dbname); }
void F::convert_poscode_4(Sender, std::string dbname) { convert_item(*this, &F::convert_poscode_4, dbname); }
void F::convert_posqual_4(Sender, std::string dbname) { convert_item(*this, &F::convert_posqual_4, dbname); }
void F::convert_postitle_4(Sender, std::string dbname) { convert_item(*this, &F::convert_postitle_4, dbname); }
void F::convert_reason_4(Sender, std::string dbname) { convert_item(*this, &F::convert_reason_4, dbname); }
void F::convert_stats_jt_4(Sender, std::string dbname) { convert_item(*this, &F::convert_stats_jt_4, dbname); }
void F::convert_stats_st_4(Sender, std::string dbname) { convert_item(*this, &F::convert_stats_st_4, dbname); }
void F::convert_time10_4(Sender, std::string dbname) { convert_item(*this, &F::convert_time10_4, dbname); }

}  // namespace qv
