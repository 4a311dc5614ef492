//===- TRQBadConfigException.cpp - An unusable action or process element --===//
#include "supervision/TRQBadConfigException.h"

TRQBadConfigException::TRQBadConfigException(const char *message) : m_sMessage(message ? message : "") {}

TRQBadConfigException::TRQBadConfigException(const TRQBadConfigException &other) = default;

TRQBadConfigException &TRQBadConfigException::operator=(const TRQBadConfigException &other) = default;

TRQBadConfigException::~TRQBadConfigException() = default;
