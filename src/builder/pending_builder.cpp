#include <stdexcept>

#include "form/conversion_form.h"

// Placeholders until the real methods land.
namespace qv {
bool Tconversion_form::check_and_create_database_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_carrier_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_category_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_city_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_comment_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_comment_js_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_config_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_contact_name_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_quorvel_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_item_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_js_edit_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_jsearch_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_poscode_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_posqual_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_postitle_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_reason_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_stats_jt_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_stats_st_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_time10_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
void Tconversion_form::create_indexes_4(Sender, std::string) { throw std::logic_error("builder not built yet"); }
}
