#include "sky/sky_status.hpp"

namespace newstars {

const char* skyStatusText(SkyStatus status)
{
    switch (status) {
    case SkyStatus::Ok:
        return "done";
    case SkyStatus::NotANumber:
        return "not a number";
    case SkyStatus::EndOfTable:
        return "no such entry in the reference table";
    case SkyStatus::MalformedTable:
        return "malformed reference table";
    case SkyStatus::UnreadableTable:
        return "the reference table cannot be read";
    }
    return "unknown sky status";
}

} // namespace newstars
