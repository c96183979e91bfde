#pragma once
// Whether a text is one well-formed JSON value, as the runtime checks the
// argument of PostWebMessageAsJson before handing it to the page.
#include <string>

namespace stand_in {

bool IsJson(const std::wstring& text);

}  // namespace stand_in
