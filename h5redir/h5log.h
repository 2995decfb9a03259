#ifndef H5LOG_H
#define H5LOG_H

#include <QDebug>
#include <QLoggingCategory>

// Every line of the library goes to Qt's "default" category, the one qDebug() writes to, with no
// file, line or function context. Unlike qDebug(), which formats the whole line before Qt filters
// it, these test the category first: a disabled line costs one check and formats nothing.
//
//   H5_DEBUG << "H5" << "HandleServerMsg" << "read url from Json :" << url;

// Whether lines of `type` are written. A redirector destroyed during static destruction can
// outlive Qt's category; Qt itself then writes every line, and so do we.
inline bool h5LogEnabled(QtMsgType type)
{
    const QLoggingCategory *category = QLoggingCategory::defaultCategory();
    return !category || category->isEnabled(type);
}

#define H5_LOG(type, level)                                                                        \
    for (bool h5LogOn = h5LogEnabled(type); h5LogOn; h5LogOn = false)                              \
    QMessageLogger(nullptr, 0, nullptr, "default").level()

#define H5_DEBUG H5_LOG(QtDebugMsg, debug)
#define H5_INFO H5_LOG(QtInfoMsg, info)
#define H5_CRITICAL H5_LOG(QtCriticalMsg, critical)

#endif // H5LOG_H
