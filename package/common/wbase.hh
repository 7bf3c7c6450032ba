// WBase: base of the package's elements that read the global settings.
// WBase::configure finds the first element in the router that answers
// cast("WConf") and fails with "WConf not found" when there is none. Derived
// elements call it from their own configure and stop on a negative result.
#pragma once

#include <host/element.hh>

class WConf;

class WBase : public Element {
  public:
    int configure(std::vector<std::string>& conf, ErrorHandler* errh) override;

    WConf* wconf() const { return _wconf; }

  protected:
    WConf* _wconf = nullptr;  // owned by the router
};
