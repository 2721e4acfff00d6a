#pragma once

#include <QString>

// Paths that the page gives relative to a folder of the application must stay inside the
// application's folders: an absolute path where a relative one is meant, ".." segments that
// climb out, or a control character (a NUL ends the name that the operating system sees) are
// refused.
namespace PagePaths {

// `folder` + "/" + `relative`, where `relative` has no leading slash and may use ".." only as far
// as it stays inside `boundary` (a folder that holds `folder`); "" when refused.
QString underFolder(const QString &folder, const QString &relative, const QString &boundary);
// `appDir` + `relative` for an application-relative path (it begins with "/"), staying inside
// `appDir`; "" when refused.
QString underApplication(const QString &appDir, const QString &relative);

} // namespace PagePaths
