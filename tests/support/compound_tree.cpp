#include "support/compound_tree.h"
#include "support/gsf_ptr.h"

#include <QFile>

#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>

namespace wbtest {

using workbook::detail::CompoundFile;

namespace {

// Reads the children of `storage` into `into`; false when a stream cannot be read whole.
bool readStorage(GsfInfile* storage, CompoundEntry& into, gsf_off_t fileSize, int depth) {
    if (depth > 32) // a directory that loops back on itself
        return false;
    const int count = gsf_infile_num_children(storage);
    for (int i = 0; i < count; ++i) {
        GPtr<GsfInput> child(gsf_infile_child_by_index(storage, i));
        const char* name = gsf_infile_name_by_index(storage, i);
        if (!child || name == nullptr)
            return false;
        CompoundEntry& entry = into.children.emplace_back();
        entry.name = name;
        if (GSF_IS_INFILE(child.get()) && gsf_infile_num_children(GSF_INFILE(child.get())) >= 0) {
            entry.storage = true;
            if (GSF_IS_INFILE_MSOLE(child.get()))
                gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(child.get()), entry.classId.data());
            if (!readStorage(GSF_INFILE(child.get()), entry, fileSize, depth + 1))
                return false;
            continue;
        }
        const gsf_off_t size = gsf_input_size(child.get());
        if (size < 0 || size > fileSize)
            return false;
        if (size == 0)
            continue;
        const guint8* bytes = gsf_input_read(child.get(), static_cast<std::size_t>(size), nullptr);
        if (bytes == nullptr)
            return false;
        entry.data.assign(bytes, bytes + size);
    }
    return true;
}

bool writeStorage(GsfOutfile* storage, const CompoundEntry& from) {
    for (const CompoundEntry& child : from.children) {
        GPtr<GsfOutput> out(gsf_outfile_new_child(storage, child.name.c_str(), child.storage));
        if (!out)
            return false;
        bool ok = true;
        if (child.storage) {
            gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out.get()), child.classId.data());
            ok = writeStorage(GSF_OUTFILE(out.get()), child);
        } else if (!child.data.empty()) {
            ok = gsf_output_write(out.get(), child.data.size(), child.data.data());
        }
        if (!gsf_output_close(out.get()) || !ok)
            return false;
    }
    return true;
}

} // namespace

CompoundTree readCompoundTree(const QString& path) {
    // libgsf warns on stderr about every damaged file it meets; the verdict says it.
    static const guint quiet = g_log_set_handler(
        "libgsf:msole", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL),
        [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    (void)quiet;
    CompoundTree tree{CompoundFile::State::Unreadable, {}};
    tree.root.storage = true;
    GError* error = nullptr;
    GPtr<GsfInput> input(gsf_input_stdio_new(QFile::encodeName(path).constData(), &error));
    g_clear_error(&error);
    if (!input)
        return tree;
    const gsf_off_t fileSize = gsf_input_size(input.get());
    GPtr<GsfInfile> ole(gsf_infile_msole_new(input.get(), &error));
    g_clear_error(&error);
    tree.state = CompoundFile::State::Damaged;
    if (!ole)
        return tree;
    gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(ole.get()), tree.root.classId.data());
    if (!readStorage(ole.get(), tree.root, fileSize, 0))
        return tree;
    tree.state = CompoundFile::State::NoWorkbook;
    for (const CompoundEntry& entry : tree.root.children) {
        if (entry.storage)
            continue;
        if (entry.name == "Workbook")
            tree.state =
                entry.data.empty() ? CompoundFile::State::Damaged : CompoundFile::State::Workbook;
        else if (entry.name == "Book" && tree.state == CompoundFile::State::NoWorkbook)
            tree.state = CompoundFile::State::OldWorkbook;
    }
    return tree;
}

bool writeWithGsf(const CompoundEntry& root, const QString& path, unsigned sectorSize) {
    GError* error = nullptr;
    GPtr<GsfOutput> sink(gsf_output_stdio_new(QFile::encodeName(path).constData(), &error));
    g_clear_error(&error);
    if (!sink)
        return false;
    GPtr<GsfOutfile> ole(gsf_outfile_msole_new_full(sink.get(), sectorSize, 64));
    if (!ole)
        return false;
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(ole.get()), root.classId.data());
    const bool written = writeStorage(ole.get(), root);
    const bool closed = gsf_output_close(GSF_OUTPUT(ole.get()));
    return written && closed && (gsf_output_is_closed(sink.get()) || gsf_output_close(sink.get()));
}

} // namespace wbtest
