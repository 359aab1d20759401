#pragma once
// The web page's files, built into the program: plain HTML, CSS and
// JavaScript, nothing fetched from anywhere else (the Content-Security-Policy
// allows only this server).

#include <string>

namespace ipcam {

std::string webSignInPage(bool failed);
const std::string& webAppPage();
const std::string& webAppScript();
const std::string& webStyleSheet();

}  // namespace ipcam
