#include "System.Classes.hpp"

#include <algorithm>

namespace System::Classes {
namespace {

bool IsIdentifier(const std::u16string& s) {
  auto alpha = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_'; };
  if (s.empty() || s.size() > MaxIdentLength || !alpha(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), [&](char16_t c) { return alpha(c) || (c >= u'0' && c <= u'9'); });
}

}  // namespace

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner) {
    if (owner->ComponentState() & csDesigning) SetState(csDesigning, true);
    owner->components_.push_back(this);
  }
}

TComponent::~TComponent() {
  // Free what we own, last created first. The child leaves the list before
  // its delete, which may return at once when the child's destruction has
  // already begun further up this thread's stack.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    RemoveComponent(child);
    delete child;
  }
  if (TComponent* owner = Owner()) owner->RemoveComponent(this);
}

void TComponent::operator delete(TComponent* self, std::destroying_delete_t) {
  // A test and a set in one step; only this thread destroys the component,
  // so nothing else is ordered by it.
  const TComponentState before = self->state_.fetch_or(csDestroying, std::memory_order_relaxed);
  if (before & csDestroying) return;
  TObject::operator delete(self, std::destroying_delete);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (std::erase(components_, component) == 0) return;
  // Release, pairing with Owner()'s acquire: a thread that sees no owner
  // sees the component out of this list.
  component->owner_.store(nullptr, std::memory_order_release);
}

const TTypeInfo* TComponent::ClassInfo() const noexcept { return &TypeInfo; }

void TComponent::BeforeDestruction() { SetState(csDestroying, true); }

void TComponent::SetState(TComponentState flags, bool on) noexcept {
  if (on)
    state_.fetch_or(flags, std::memory_order_acq_rel);
  else
    state_.fetch_and(static_cast<TComponentState>(~flags), std::memory_order_acq_rel);
}

void TComponent::SetDesigning(bool designing) {
  SetState(csDesigning, designing);
  for (TComponent* c : components_) c->SetDesigning(designing);
}

TComponent* TComponent::FindComponent(const UnicodeString& name) const {
  if (name.IsEmpty()) return nullptr;
  for (TComponent* c : components_)
    if (SameText(c->name_, name)) return c;
  return nullptr;
}

void TComponent::SetName(const UnicodeString& name) {
  if (SameText(name, name_) && name == name_) return;
  if (!name.IsEmpty() && !IsIdentifier(name.str()))
    throw EComponentError(u"\"" + name + u"\" is not a valid component name");
  if (TComponent* owner = Owner()) {
    TComponent* other = owner->FindComponent(name);
    if (other && other != this)
      throw EComponentError(u"A component named \"" + name + u"\" already exists");
  }
  name_ = name;
}

}  // namespace System::Classes
