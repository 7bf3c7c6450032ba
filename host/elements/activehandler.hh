// The "active" write handler now lives in <host/activehandler.hh>, where
// package elements reach it too.
#pragma once
#include <host/activehandler.hh>
