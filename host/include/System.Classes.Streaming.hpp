// System.Classes streaming: the type records of System::Classes, the class
// registry, the form root TDataModule and the text form of a component tree.
//
// Everything here runs on the main thread, as components do; the class
// registry may also be changed while a module loads or unloads.
//
// Form text: one block per component, its stored properties, then the
// blocks of the components it owns, indented by two spaces per level.
//
//   object Form1: TDataModule
//     Tag = 7
//     object Timer1: TQevTimer
//       Interval = 0.25
//       OnTimer = TimerTick
//       Priority = tpHigher
//     end
//   end
//
// Values: Boolean and other enumerations by name (case-insensitive),
// integers in decimal, floating values in the shortest text that reads back
// to the same double (NaN, Inf and -Inf by name), strings in single quotes
// (a quote doubled; #n for the UTF-16 code unit n between quoted parts), and
// events as the name of a method that the root publishes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "System.Classes.hpp"
#include "System.TypInfo.hpp"

namespace System::Classes {

// ---------------------------------------------------------------------------
// Type records of this unit (TComponent's is TComponent::TypeInfo).
QEV_VCL_API extern const TTypeInfo TypeInfo_TThread;          // class, no published properties
QEV_VCL_API extern const TTypeInfo TypeInfo_TThreadPriority;  // enumeration tpIdle..tpTimeCritical
QEV_VCL_API extern const TTypeInfo TypeInfo_TNotifyEvent;     // method (Sender: TObject)

// ---------------------------------------------------------------------------
// Class registry: the component classes that a form reader can construct by
// name. A unit registers the classes it defines (and unregisters them when
// it is unloaded). Registering a class again does nothing.
QEV_VCL_API void RegisterClass(TComponentClass cls);
QEV_VCL_API void UnRegisterClass(TComponentClass cls);
// The registered class of that name (compared as identifiers), or null.
QEV_VCL_API TComponentClass GetClass(std::string_view name);

class QEV_VCL_API EClassNotFound : public Exception {
 public:
  using Exception::Exception;
};

// Constructs a component of class `cls` owned by `owner` (may be null), as a
// class reference does. EClassNotFound when `cls` is not a component class
// that can be constructed.
QEV_VCL_API TComponent* CreateComponent(TComponentClass cls, TComponent* owner);

// ---------------------------------------------------------------------------
// TDataModule: the root of a form. It publishes handler methods by name, so
// that a form stores an event as the name of the root's method and the
// reader finds the method again.
class QEV_VCL_API TDataModule : public TComponent {
 public:
  explicit TDataModule(TComponent* owner);
  const TTypeInfo* ClassInfo() const noexcept override;
  static const TTypeInfo TypeInfo;

  // Publishes `method` under `name` (an identifier, unique in this root).
  // Call from the derived class's constructor:
  //   PublishMethod("TimerTick", TNotifyEvent::Bind<&MyForm::TimerTick>(this));
  void PublishMethod(std::string_view name, TNotifyEvent method);
  // The published method of that name (compared as identifiers); unassigned
  // if there is none.
  Typinfo::TMethodValue MethodAddress(std::string_view name) const;
  // The name under which `method` is published, or empty.
  std::string MethodName(const Typinfo::TMethodValue& method) const;

 private:
  std::vector<std::pair<std::string, Typinfo::TMethodValue>> methods_;
};

// ---------------------------------------------------------------------------
// Form text.

class QEV_VCL_API EFilerError : public Exception {
 public:
  using Exception::Exception;
};

// A form that cannot be read. The message begins "line L, column C: ".
class QEV_VCL_API EReadError : public EFilerError {
 public:
  EReadError(int line, int column, const std::string& what);
  int Line() const noexcept { return line_; }
  int Column() const noexcept { return column_; }

 private:
  int line_, column_;
};

// A form that cannot be written (a handler that the root does not publish).
class QEV_VCL_API EWriteError : public EFilerError {
 public:
  using EFilerError::EFilerError;
};

// Limits of the reader: larger texts and deeper nesting are refused.
inline constexpr std::size_t MaxFormText = std::size_t{4} << 20;  // bytes
inline constexpr int MaxFormDepth = 32;                            // blocks, the root's included

// The text of `root` and the components it owns, recursively: for each its
// name and class, then every published property that is stored and differs
// from the default its metadata records, in the metadata's order.
QEV_VCL_API std::string WriteFormText(const TDataModule& root);

// Reads a form into `root`: the root block's class must be the root's class.
// Sets the root's name and properties; constructs each nested component with
// its owner (the enclosing block's component), names it, and assigns its
// values through the property writers in stored order, as they come. Any
// failure raises EReadError naming the line and column, after deleting every
// component this read constructed and restoring the root's properties.
QEV_VCL_API void ReadFormText(std::string_view text, TDataModule& root);

}  // namespace System::Classes
