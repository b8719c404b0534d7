// The form's builder and converter methods: each hands the form, as the
// run's context, to the builder, the converter frame or the job-search run.
#include "builder/database.h"
#include "converters/frame.h"
#include "form/conversion_form.h"
#include "jobsearch/jobsearch.h"
#include "registry/registry.h"

namespace qv {

using F = Tconversion_form;

void F::convert_carrier_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("CARRIER_4")); }
void F::convert_category_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("CATEGORY_4")); }
void F::convert_city_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("CITY_4")); }
void F::convert_comment_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("COMMENT_4")); }
void F::convert_comment_js_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("COMMENT_JS_4")); }
void F::convert_config_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("CONFIG_4")); }
void F::convert_contact_name_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("CONTACT_NAME_4")); }
void F::convert_quorvel_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("QUORVEL_4")); }
void F::convert_item_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("ITEM_4")); }
void F::convert_js_edit_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("JS_EDIT_4")); }
void F::convert_jsearch_4(Sender, std::string dbname) { jobsearch::convert_job_search(*this, dbname); }
void F::convert_poscode_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("POSCODE_4")); }
void F::convert_posqual_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("POSQUAL_4")); }
void F::convert_postitle_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("POSTITLE_4")); }
void F::convert_reason_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("REASON_4")); }
void F::convert_stats_jt_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("STATS_JT_4")); }
void F::convert_stats_st_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("STATS_ST_4")); }
void F::convert_time10_4(Sender, std::string dbname) { conv::convert_table(*this, dbname, registry::item("TIME10_4")); }

bool F::check_and_create_database_4(Sender, std::string dbname) { return builder::create_database(*this, dbname); }
void F::create_carrier_4(Sender, std::string) { builder::create_table(*this, "CARRIER_4"); }
void F::create_category_4(Sender, std::string) { builder::create_table(*this, "CATEGORY_4"); }
void F::create_city_4(Sender, std::string) { builder::create_table(*this, "CITY_4"); }
void F::create_comment_4(Sender, std::string) { builder::create_table(*this, "COMMENT_4"); }
void F::create_comment_js_4(Sender, std::string) { builder::create_table(*this, "COMMENT_JS_4"); }
void F::create_config_4(Sender, std::string) { builder::create_table(*this, "CONFIG_4"); }
void F::create_contact_name_4(Sender, std::string) { builder::create_table(*this, "CONTACT_NAME_4"); }
void F::create_quorvel_4(Sender, std::string) { builder::create_table(*this, "QUORVEL_4"); }
void F::create_item_4(Sender, std::string) { builder::create_table(*this, "ITEM_4"); }
void F::create_js_edit_4(Sender, std::string) { builder::create_table(*this, "JS_EDIT_4"); }
void F::create_jsearch_4(Sender, std::string) { builder::create_table(*this, "JSEARCH_4"); }
void F::create_poscode_4(Sender, std::string) { builder::create_table(*this, "POSCODE_4"); }
void F::create_posqual_4(Sender, std::string) { builder::create_table(*this, "POSQUAL_4"); }
void F::create_postitle_4(Sender, std::string) { builder::create_table(*this, "POSTITLE_4"); }
void F::create_reason_4(Sender, std::string) { builder::create_table(*this, "REASON_4"); }
void F::create_stats_jt_4(Sender, std::string) { builder::create_table(*this, "STATS_JT_4"); }
void F::create_stats_st_4(Sender, std::string) { builder::create_table(*this, "STATS_ST_4"); }
void F::create_time10_4(Sender, std::string) { builder::create_table(*this, "TIME10_4"); }
void F::create_indexes_4(Sender, std::string) { builder::create_indexes(*this); }

void F::create_jsearch2_table(Sender, int number) { jobsearch::create_temp_file(*this, number); }

}  // namespace qv
