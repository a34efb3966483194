// Implementation of ApplicationSettings<XML>; included by ApplicationSettings.h only.
#pragma once

#include "kest/ApplicationLogger.h"
#include "kest/CrashGuard.h"

template <class XML>
void ApplicationSettings<XML>::load() {
  try {
    // Alive until load() returns: a process that dies while parsing leaves the load marked as begun.
    const CrashGuard guard(name_, "settings", 5, 10);
    try {
      document_ = xmldoc::parseFile<XML>(file_.getAbsolutePath());
      return;
    } catch (const XPlus::Exception& e) {
      ZEM_WARN("Cannot load " << name_ << " global configuration, using default settings");
      ZEM_WARN(e.what());
    }
    try {
      document_ = xmldoc::createDocument<XML>();
      setDefaults(*document_);
      save();
    } catch (const XPlus::Exception& e) {
      ZEM_WARN("Cannot set " << name_ << " global configuration");
      ZEM_WARN(e.what());
    }
  } catch (const CrashDetectedException& e) {
    ZEM_ERROR("A crash has been detected when loading " << name_ << " global settings");
    ZEM_ERROR(e.what());
    // Start from the defaults next time: the file is the likely cause of the crash.
    file_.remove();
  } catch (const UnrecoverableCrashDetectedException& e) {
    ZEM_ERROR("A crash has been detected when loading " << name_ << " global settings");
    ZEM_ERROR(e.what());
  }
}

template <class XML>
bool ApplicationSettings<XML>::save() {
  if (!document_) {
    ZEM_WARN("Cannot write " << name_ << " global configuration");
    ZEM_WARN("no document is loaded");
    return false;
  }
  try {
    // A fresh device may not have the folder yet; a failure shows up as the save's own error.
    const File folder = File(file_.getAbsolutePath()).getParentFile();
    if (!folder.getPath().empty()) folder.mkdirs();
    xmldoc::saveFile(*document_, file_.getAbsolutePath());
    return true;
  } catch (const XPlus::Exception& e) {
    ZEM_WARN("Cannot write " << name_ << " global configuration");
    ZEM_WARN(e.what());
    return false;
  }
}
