// Window services on Windows: MessageBoxW, FindWindowW/SendMessageW and the installer's main
// window (its class and its menu, About and Exit, are built at run time).
#pragma once

#include "platform/window.h"

namespace kqco::win_platform {

class WinWindowServices final : public WindowServices {
 public:
  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) override;
  bool SendCommand(const std::wstring& windowTitle, int commandId) override;
  bool RunMainWindow(const MainWindowTexts& texts, int showCommand) override;
};

}  // namespace kqco::win_platform
