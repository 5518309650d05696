// Traceable exception family.
#include "util/ex_traceable.h"

#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace marun {

ExTraceable::ExTraceable(const std::string& tag, const std::string& format, int kind)
    : std::runtime_error(tag),
      format_(format),
      id_(boost::uuids::to_string(boost::uuids::random_generator()())),
      kind_(kind) {}

void ExTraceable::feed(const std::string& arg) {
    format_ % arg;
    text_.clear();
}

const char* ExTraceable::what() const noexcept {
    try {
        if (text_.empty()) {
            text_ = format_.str();
        }
        return text_.c_str();
    } catch (...) {
        return std::runtime_error::what();
    }
}

void ExTraceable::accept(ExInfoVisitor& visitor) const {
    visitor.tag(std::runtime_error::what());
    visitor.identifier(id_);
    visitor.kind(kind_);
    visitor.text(what());
}

ExTaggedIncludable::ExTaggedIncludable(const std::string& tag, const std::string& format, int kind,
                                       const ExTraceable* included)
    : ExTraceable(tag, format, kind), included_(included ? included->clone() : nullptr) {}

ExTaggedIncludable::ExTaggedIncludable(const ExTaggedIncludable& other)
    : ExTraceable(other), included_(other.included_ ? other.included_->clone() : nullptr) {}

void ExTaggedIncludable::accept(ExInfoVisitor& visitor) const {
    ExTraceable::accept(visitor);
    acceptIncluded(visitor);
}

void ExTaggedIncludable::acceptIncluded(ExInfoVisitor& visitor) const {
    if (included_) {
        visitor.beginIncluded();
        included_->accept(visitor);
    }
}

}  // namespace marun
