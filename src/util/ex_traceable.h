// Traceable exceptions: a tagged runtime error whose message is a Boost.Format
// text fed with arguments by the thrower, with a unique identifier, a kind,
// optionally an included (cloned) cause and the place it was thrown from.
// A visitor can walk all of it, cause chain included.
#pragma once

#include <boost/format.hpp>
#include <memory>
#include <stdexcept>
#include <string>

namespace marun {

class ExInfoVisitor {
  public:
    virtual ~ExInfoVisitor() = default;
    virtual void place(const std::string& function, const std::string& file, int line) = 0;
    virtual void tag(const std::string& tag) = 0;
    virtual void identifier(const std::string& id) = 0;
    virtual void kind(int kind) = 0;
    virtual void text(const std::string& text) = 0;
    virtual void beginIncluded() = 0;
};

class Cloneable {
  public:
    virtual ~Cloneable() = default;
    virtual Cloneable* clone() const = 0;
};

class ExVisitable {
  public:
    virtual ~ExVisitable() = default;
    virtual void accept(ExInfoVisitor& visitor) const = 0;
};

class ExTraceable : public Cloneable, public ExVisitable, public std::runtime_error {
  public:
    ExTraceable(const std::string& tag, const std::string& format, int kind);

    ExTraceable* clone() const override { return new ExTraceable(*this); }
    const char* what() const noexcept override;
    void accept(ExInfoVisitor& visitor) const override;

    const std::string& identifier() const { return id_; }
    int kind() const { return kind_; }

  protected:
    void feed(const std::string& arg);

  private:
    boost::format format_;
    mutable std::string text_;
    std::string id_;
    int kind_;
};

class ExTaggedIncludable : public ExTraceable {
  public:
    ExTaggedIncludable(const std::string& tag, const std::string& format, int kind,
                       const ExTraceable* included = nullptr);
    ExTaggedIncludable(const ExTaggedIncludable& other);
    ExTaggedIncludable& operator=(const ExTaggedIncludable&) = delete;

    ExTaggedIncludable* clone() const override { return new ExTaggedIncludable(*this); }
    void accept(ExInfoVisitor& visitor) const override;

  protected:
    void acceptIncluded(ExInfoVisitor& visitor) const;

  private:
    std::unique_ptr<ExTraceable> included_;
};

// The identity of a concrete traceable failure: its tag text and kind.
struct ExTag {
    const char* name;
    int kind;
};

// A traceable failure of kind `Tag`, carrying the place it was thrown from.
template <const ExTag* Tag>
class Exc : public ExTaggedIncludable {
  public:
    Exc(const std::string& format, const std::string& function, const std::string& file, int line,
        const ExTraceable* included = nullptr)
        : ExTaggedIncludable(Tag->name, format, Tag->kind, included),
          function_(function),
          file_(file),
          line_(line) {}

    // Feeds the next positional argument of the message format.
    template <class T>
    Exc& operator%(const T& arg) {
        feed((boost::format("%1%") % arg).str());
        return *this;
    }

    Exc* clone() const override { return new Exc(*this); }
    void accept(ExInfoVisitor& visitor) const override {
        visitor.place(function_, file_, line_);
        ExTraceable::accept(visitor);
        acceptIncluded(visitor);
    }

  private:
    std::string function_;
    std::string file_;
    int line_;
};

}  // namespace marun
