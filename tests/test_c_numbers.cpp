// ParseDouble takes a shortcut for plain decimals; it must agree with strtod_l bit for bit,
// in the value and in where the number ends.
#include "c_numbers.h"

#include <QtTest>

#include <cstring>
#include <locale.h>
#include <random>

class TestCNumbers : public QObject
{
    Q_OBJECT

private slots:
    // Texts at the shortcut's limits, then random decimals and random junk from the characters
    // that can start or continue a number.
    void agreesWithStrtod()
    {
        QStringList texts =
            QString("-0|+0.|-.5|.|1.5mm|1.2.3|0.3|9007199254740993|"
                    "1234567890123456789|0.00000000000000000000001|1.5e|0x1p3| 7|-nan")
                .split('|');
        std::mt19937_64 random(7);
        const char alphabet[] = "0123456789.-+eEx ";
        for (int i = 0; i < 100000; ++i) {
            texts << QString::asprintf("%.*f", int(random() % 21),
                                       double(int64_t(random())) /
                                           double(uint64_t(1) << (random() % 63)));
            QString junk;
            for (int length = int(random() % 12); length > 0; --length)
                junk += alphabet[random() % (sizeof alphabet - 1)];
            texts << junk;
        }
        const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
        for (const QString& text : texts) {
            const QByteArray bytes = text.toLatin1();
            char *expectedEnd, *end;
            const double expected = strtod_l(bytes.constData(), &expectedEnd, c);
            const double parsed = cnumbers::ParseDouble(bytes.constData(), &end);
            if (std::memcmp(&expected, &parsed, sizeof parsed) != 0 || end != expectedEnd)
                QFAIL(qPrintable("differs from strtod_l: " + text));
        }
        freelocale(c);
    }
};

QTEST_APPLESS_MAIN(TestCNumbers)
#include "test_c_numbers.moc"
