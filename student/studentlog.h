#pragma once

#include <QLoggingCategory>

// The diagnostics of pupil, category "student": a server box quiets them with
// QT_LOGGING_RULES (e.g. "student.debug=false") without touching the code.
inline const QLoggingCategory& lcStudent()
{
    static const QLoggingCategory category("student");
    return category;
}
