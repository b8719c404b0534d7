#include <stdexcept>

#include "form/conversion_form.h"

// Placeholders until the real methods land.
namespace qv {
void Tconversion_form::convert_carrier_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_category_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_city_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_comment_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_comment_js_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_config_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_contact_name_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_quorvel_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_item_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_js_edit_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_poscode_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_posqual_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_postitle_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_reason_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_stats_jt_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_stats_st_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
void Tconversion_form::convert_time10_4(Sender, std::string) { throw std::logic_error("converter not built yet"); }
}
