#pragma once

class QString;

// Shows a file in the desktop's file browser. Windows: "explorer.exe" with
// "/select,". Linux: the desktop's file manager selects the file through the
// org.freedesktop.FileManager1 ShowItems call when a session bus offers it;
// otherwise the containing folder is opened with the default handler.
// Stateless; GUI thread (it may talk to the session bus).
class DFileBrowser
{
public:
    // False when no file browser could be asked to show the path.
    static bool showFile(const QString& filePath);
};
