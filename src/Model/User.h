#pragma once

#include <QString>

// A maintenance user.
struct User
{
    int id = 0;
    QString name;
    QString surname;
    QString pin;
};
