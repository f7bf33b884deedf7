// What Apache POI's HSSF model sees in an .xls workbook, one property a line, tab-separated,
// for the editor tests to compare before and after a store:
//   java -cp <classes>:/usr/share/java/poi.jar:... PoiDump dump <file.xls>
//   java -cp ... PoiDump make <file.xls>    writes a day's workbook as POI lays it out (row
//                                           blocks with DBCELL and INDEX), with formats
//   java -cp ... PoiDump look <file.xls>    what a spreadsheet shows of each cell and sheet, for
//                                           the viewer's tests (lines: pane, defaults, column,
//                                           row, merge, comment, look)
//   java -cp ... PoiDump makelook <file.xls> writes a day's workbook with the formats, fonts,
//                                           fills, widths, panes and comments an office gives it
//   java -cp ... PoiDump freeze <in.xls> <out.xls> <sheet> <columns> <rows>
//                                           the same workbook with the sheet's first rows and
//                                           columns frozen
// Lines: workbook, name, picture, sheet, width, row, merge, comment, link, shape, cell.
import java.io.File;
import java.io.FileOutputStream;
import java.io.PrintStream;
import java.security.MessageDigest;
import java.util.Locale;
import java.util.Map;
import org.apache.poi.hssf.usermodel.*;
import org.apache.poi.hssf.util.HSSFColor;
import org.apache.poi.poifs.filesystem.POIFSFileSystem;
import org.apache.poi.ss.usermodel.*;
import org.apache.poi.ss.util.CellAddress;
import org.apache.poi.ss.util.CellRangeAddress;
import org.apache.poi.ss.util.PaneInformation;

public class PoiDump {
    static PrintStream out;

    static String style(HSSFWorkbook wb, CellStyle s) {
        if (s == null)
            return "-";
        Font f = wb.getFontAt(s.getFontIndexAsInt());
        return "font=" + f.getFontName() + "/" + f.getFontHeightInPoints() + "/bold=" + f.getBold()
            + "/italic=" + f.getItalic() + "/colour=" + f.getColor()
            + " fill=" + s.getFillPattern() + "/" + s.getFillForegroundColor()
            + " format=" + s.getDataFormatString() + " align=" + s.getAlignment()
            + " border=" + s.getBorderBottom() + s.getBorderTop() + s.getBorderLeft()
            + s.getBorderRight() + " wrap=" + s.getWrapText() + " locked=" + s.getLocked();
    }

    static String value(Cell c) {
        switch (c.getCellType()) {
        case NUMERIC:
            return "number\t" + c.getNumericCellValue();
        case STRING:
            return "text\t" + c.getStringCellValue();
        case BOOLEAN:
            return "boolean\t" + c.getBooleanCellValue();
        case ERROR:
            return "error\t" + c.getErrorCellValue();
        case BLANK:
            return "blank\t";
        case FORMULA:
            String cached;
            switch (c.getCachedFormulaResultType()) {
            case NUMERIC: cached = "" + c.getNumericCellValue(); break;
            case STRING: cached = c.getStringCellValue(); break;
            case BOOLEAN: cached = "" + c.getBooleanCellValue(); break;
            default: cached = "" + c.getCachedFormulaResultType();
            }
            return "formula\t=" + c.getCellFormula() + " -> " + cached;
        default:
            return "?\t";
        }
    }

    static void shapes(String sheet, HSSFShapeContainer container, String indent) {
        for (HSSFShape s : container.getChildren()) {
            String anchor = "";
            if (s.getAnchor() instanceof HSSFClientAnchor) {
                HSSFClientAnchor a = (HSSFClientAnchor) s.getAnchor();
                anchor = a.getCol1() + "," + a.getRow1() + "-" + a.getCol2() + "," + a.getRow2();
            }
            String extra = "";
            if (s instanceof HSSFPicture)
                extra = " picture=" + ((HSSFPicture) s).getPictureIndex();
            if (s instanceof HSSFComment)
                continue; // listed with the comments
            out.println("shape\t" + sheet + "\t" + indent + s.getClass().getSimpleName() + "\t" + anchor + extra);
            if (s instanceof HSSFShapeContainer)
                shapes(sheet, (HSSFShapeContainer) s, indent + " ");
        }
    }

    static void dump(String path) throws Exception {
        try (POIFSFileSystem fs = new POIFSFileSystem(new File(path), true);
             HSSFWorkbook wb = new HSSFWorkbook(fs)) {
            out.println("workbook\tsheets=" + wb.getNumberOfSheets() + "\tfonts=" + wb.getNumberOfFontsAsInt()
                + "\tstyles=" + wb.getNumCellStyles());
            for (Name n : wb.getAllNames())
                out.println("name\t" + n.getNameName() + "\t" + n.getSheetIndex() + "\t" + n.getRefersToFormula());
            MessageDigest md5 = MessageDigest.getInstance("MD5");
            for (HSSFPictureData p : wb.getAllPictures())
                out.println("picture\t" + p.getMimeType() + "\t" + p.getData().length + "\t"
                    + new java.math.BigInteger(1, md5.digest(p.getData())).toString(16));
            for (int i = 0; i < wb.getNumberOfSheets(); ++i) {
                HSSFSheet sh = wb.getSheetAt(i);
                String name = sh.getSheetName();
                out.println("sheet\t" + name + "\thidden=" + wb.isSheetHidden(i) + "/" + wb.isSheetVeryHidden(i)
                    + "\tprotected=" + sh.getProtect() + "\tlandscape=" + sh.getPrintSetup().getLandscape()
                    + "\tpaper=" + sh.getPrintSetup().getPaperSize() + "\tgrid=" + sh.isDisplayGridlines()
                    + "\tfreeze=" + sh.getPaneInformation()
                    + "\tvalidations=" + sh.getDataValidations().size()
                    + "\tconditional=" + sh.getSheetConditionalFormatting().getNumConditionalFormattings()
                    + "\tdefaultwidth=" + sh.getDefaultColumnWidth() + "\tdefaultheight=" + sh.getDefaultRowHeight());
                for (int c = 0; c < 16; ++c)
                    out.println("width\t" + name + "\t" + c + "\t" + sh.getColumnWidth(c) + "\t"
                        + sh.isColumnHidden(c) + "\t" + style(wb, sh.getColumnStyle(c)));
                for (CellRangeAddress r : sh.getMergedRegions())
                    out.println("merge\t" + name + "\t" + r.formatAsString());
                for (Map.Entry<CellAddress, HSSFComment> e : sh.getCellComments().entrySet())
                    out.println("comment\t" + name + "\t" + e.getKey() + "\t" + e.getValue().getAuthor() + "\t"
                        + e.getValue().getString().getString() + "\tvisible=" + e.getValue().isVisible());
                for (HSSFHyperlink l : sh.getHyperlinkList())
                    out.println("link\t" + name + "\t" + l.getFirstRow() + "," + l.getFirstColumn() + "\t" + l.getAddress());
                if (sh.getDrawingPatriarch() != null)
                    shapes(name, sh.getDrawingPatriarch(), "");
                for (Row row : sh) {
                    HSSFRow r = (HSSFRow) row;
                    out.println("row\t" + name + "\t" + (r.getRowNum() + 1) + "\theight=" + r.getHeight()
                        + "\tzero=" + r.getZeroHeight() + "\tformatted=" + r.isFormatted()
                        + (r.isFormatted() ? "\t" + style(wb, r.getRowStyle()) : ""));
                    for (Cell c : row)
                        out.println("cell\t" + name + "\t" + c.getAddress() + "\t" + value(c) + "\t"
                            + style(wb, c.getCellStyle()));
                }
            }
        }
    }

    // A day's workbook as POI writes it: 200 rows in row blocks, a bold coloured header,
    // column widths, a formula column, a coloured row 5 with its own row format, column F
    // with a number format, a comment and a merged pair on a notes sheet.
    static void make(String path) throws Exception {
        try (HSSFWorkbook wb = new HSSFWorkbook()) {
            HSSFSheet sh = wb.createSheet("Sheet1");
            HSSFCellStyle head = wb.createCellStyle();
            HSSFFont bold = wb.createFont();
            bold.setBold(true);
            head.setFont(bold);
            head.setFillForegroundColor(IndexedColors.LIGHT_YELLOW.getIndex());
            head.setFillPattern(FillPatternType.SOLID_FOREGROUND);
            String[] captions = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};
            HSSFRow top = sh.createRow(0);
            for (int c = 0; c < captions.length; ++c) {
                top.createCell(c).setCellValue(captions[c]);
                top.getCell(c).setCellStyle(head);
            }
            top.createCell(7).setCellValue(201);
            for (int r = 1; r <= 200; ++r) {
                HSSFRow row = sh.createRow(r);
                row.createCell(0).setCellValue(r);
                row.createCell(1).setCellValue("2026-12-7");
                row.createCell(2).setCellValue(String.format("8:%02d:%02d", r / 60, r % 60));
                row.createCell(3).setCellValue("粤B" + (r * 7));
                row.createCell(4).setCellValue(20000 + r * 0.5);
                row.createCell(5).setCellValue(8000);
                row.createCell(6).setCellValue(12000 + r * 0.5);
                row.createCell(8).setCellFormula("E" + (r + 1) + "-F" + (r + 1));
            }
            HSSFCellStyle green = wb.createCellStyle();
            green.setFillForegroundColor(IndexedColors.LIGHT_GREEN.getIndex());
            green.setFillPattern(FillPatternType.SOLID_FOREGROUND);
            sh.getRow(4).setRowStyle(green);
            HSSFCellStyle money = wb.createCellStyle();
            money.setDataFormat(wb.createDataFormat().getFormat("#,##0.00"));
            sh.setDefaultColumnStyle(5, money);
            sh.setColumnWidth(1, 12 * 256);
            sh.setColumnWidth(3, 14 * 256);
            HSSFPatriarch drawing = sh.createDrawingPatriarch();
            HSSFComment comment = drawing.createCellComment(new HSSFClientAnchor(0, 0, 0, 0, (short) 4, 2, (short) 6, 5));
            comment.setString(new HSSFRichTextString("车号待核对"));
            comment.setAuthor("调度");
            sh.getRow(2).getCell(3).setCellComment(comment);
            HSSFSheet notes = wb.createSheet("备注");
            notes.createRow(0).createCell(0).setCellValue("值班：张三、李四");
            notes.addMergedRegion(new CellRangeAddress(0, 0, 0, 2));
            Name total = wb.createName();
            total.setNameName("Total");
            total.setRefersToFormula("Sheet1!$G$2:$G$201");
            try (FileOutputStream f = new FileOutputStream(path)) {
                wb.write(f);
            }
        }
    }

    static String rgb(HSSFColor c) {
        if (c == null)
            return "auto";
        short[] t = c.getTriplet();
        return String.format("%02x%02x%02x", t[0], t[1], t[2]);
    }

    static String escaped(String text) {
        return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n");
    }

    // A cell as a spreadsheet formats it: its value (a formula's cached result) through its
    // number format.
    static String formatted(DataFormatter f, Cell c) {
        if (c.getCellType() != CellType.FORMULA)
            return f.formatCellValue(c);
        CellStyle s = c.getCellStyle();
        switch (c.getCachedFormulaResultType()) {
        case NUMERIC:
            return f.formatRawCellContents(c.getNumericCellValue(), s.getDataFormat(), s.getDataFormatString());
        case STRING:
            return c.getStringCellValue();
        case BOOLEAN:
            return c.getBooleanCellValue() ? "TRUE" : "FALSE";
        default:
            return "";
        }
    }

    static void look(String path) throws Exception {
        try (POIFSFileSystem fs = new POIFSFileSystem(new File(path), true);
             HSSFWorkbook wb = new HSSFWorkbook(fs)) {
            DataFormatter f = new DataFormatter(Locale.US);
            for (int i = 0; i < wb.getNumberOfSheets(); ++i) {
                HSSFSheet sh = wb.getSheetAt(i);
                String name = sh.getSheetName();
                PaneInformation p = sh.getPaneInformation();
                if (p != null && p.isFreezePane())
                    out.println("pane\t" + name + "\t" + p.getVerticalSplitPosition() + "\t"
                        + p.getHorizontalSplitPosition() + "\t" + p.getVerticalSplitLeftColumn() + "\t"
                        + p.getHorizontalSplitTopRow());
                out.println("defaults\t" + name + "\t" + sh.getDefaultColumnWidth() + "\t" + sh.getDefaultRowHeight());
                for (int c = 0; c < 16; ++c)
                    out.println("column\t" + name + "\t" + c + "\t" + sh.getColumnWidth(c) + "\t" + sh.isColumnHidden(c));
                for (CellRangeAddress r : sh.getMergedRegions())
                    out.println("merge\t" + name + "\t" + r.getFirstRow() + "\t" + r.getLastRow() + "\t"
                        + r.getFirstColumn() + "\t" + r.getLastColumn());
                for (Map.Entry<CellAddress, HSSFComment> e : sh.getCellComments().entrySet())
                    out.println("comment\t" + name + "\t" + e.getKey().getRow() + "\t" + e.getKey().getColumn()
                        + "\t" + escaped(e.getValue().getAuthor()) + "\t" + escaped(e.getValue().getString().getString()));
                for (Row row : sh) {
                    HSSFRow r = (HSSFRow) row;
                    out.println("row\t" + name + "\t" + r.getRowNum() + "\t" + r.getHeight() + "\t" + r.getZeroHeight());
                    for (Cell c : row) {
                        HSSFCellStyle s = (HSSFCellStyle) c.getCellStyle();
                        HSSFFont font = s.getFont(wb);
                        String fill = s.getFillPattern() == FillPatternType.NO_FILL ? "none"
                            : s.getFillPattern() + "/" + rgb(s.getFillForegroundColorColor());
                        out.println("look\t" + name + "\t" + c.getRowIndex() + "\t" + c.getColumnIndex() + "\t"
                            + c.getCellType() + "\t" + escaped(formatted(f, c)) + "\t" + s.getDataFormat() + "\t"
                            + escaped(s.getDataFormatString()) + "\t" + font.getFontName() + "\t" + font.getFontHeight()
                            + "\t" + font.getBold() + "\t" + font.getItalic() + "\t" + (font.getUnderline() != 0)
                            + "\t" + (font.getColor() == Font.COLOR_NORMAL ? "auto" : rgb(font.getHSSFColor(wb)))
                            + "\t" + fill + "\t" + s.getAlignment());
                    }
                }
            }
        }
    }

    static HSSFCellStyle styled(HSSFWorkbook wb, String fontName, int points, boolean bold, boolean italic,
                                short colour, String format) {
        HSSFFont font = wb.createFont();
        font.setFontName(fontName);
        font.setFontHeightInPoints((short) points);
        font.setBold(bold);
        font.setItalic(italic);
        font.setColor(colour);
        HSSFCellStyle s = wb.createCellStyle();
        s.setFont(font);
        if (format != null)
            s.setDataFormat(wb.createDataFormat().getFormat(format));
        return s;
    }

    // A day's workbook as an office formats it in a spreadsheet application: Chinese faces, a
    // palette colour of its own, built-in and own number formats, widths, a hidden column and
    // row, a taller header, a merge, a comment and frozen panes scrolled down.
    static void makeLook(String path) throws Exception {
        try (HSSFWorkbook wb = new HSSFWorkbook()) {
            wb.getCustomPalette().setColorAtIndex(IndexedColors.LAVENDER.getIndex(), (byte) 0x12, (byte) 0x34, (byte) 0x56);
            HSSFSheet sh = wb.createSheet("sheet1");
            HSSFCellStyle head = styled(wb, "黑体", 12, true, false, IndexedColors.DARK_RED.getIndex(), null);
            head.setFillForegroundColor(IndexedColors.LIGHT_YELLOW.getIndex());
            head.setFillPattern(FillPatternType.SOLID_FOREGROUND);
            head.setAlignment(HorizontalAlignment.CENTER);
            String[] captions = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重", "扣杂", "备注"};
            HSSFRow top = sh.createRow(0);
            top.setHeightInPoints(24);
            for (int c = 0; c < captions.length; ++c) {
                top.createCell(c).setCellValue(captions[c]);
                top.getCell(c).setCellStyle(head);
            }
            HSSFCellStyle date = styled(wb, "宋体", 11, false, false, Font.COLOR_NORMAL, "m/d/yy");
            HSSFCellStyle iso = styled(wb, "宋体", 11, false, false, Font.COLOR_NORMAL, "yyyy-mm-dd");
            HSSFCellStyle time = styled(wb, "宋体", 11, false, false, Font.COLOR_NORMAL, "h:mm:ss");
            HSSFCellStyle car = styled(wb, "楷体_GB2312", 11, false, true, IndexedColors.LAVENDER.getIndex(), "@");
            HSSFCellStyle kg = styled(wb, "Arial", 10, false, false, Font.COLOR_NORMAL, "#,##0.00");
            HSSFCellStyle net = styled(wb, "Arial", 10, true, false, IndexedColors.BLUE.getIndex(), "0.0\" kg\"");
            net.setAlignment(HorizontalAlignment.RIGHT);
            HSSFCellStyle pct = styled(wb, "Arial", 10, false, false, Font.COLOR_NORMAL, "0.00%");
            HSSFCellStyle cn = styled(wb, "宋体", 9, false, false, Font.COLOR_NORMAL, "yyyy\"年\"m\"月\"d\"日\"");
            cn.setFillForegroundColor(IndexedColors.LAVENDER.getIndex());
            cn.setFillPattern(FillPatternType.SOLID_FOREGROUND);
            HSSFCellStyle sci = styled(wb, "Arial", 10, false, false, Font.COLOR_NORMAL, "0.00E+00");
            HSSFCellStyle neg = styled(wb, "Arial", 10, false, false, Font.COLOR_NORMAL, "0.00;[Red]-0.00");
            neg.setAlignment(HorizontalAlignment.LEFT);
            for (int r = 1; r <= 12; ++r) {
                HSSFRow row = sh.createRow(r);
                row.createCell(0).setCellValue(r);
                Cell d = row.createCell(1);
                d.setCellValue(46363 + r % 2);
                d.setCellStyle(r % 2 == 0 ? date : iso);
                Cell t = row.createCell(2);
                t.setCellValue((8 * 3600 + r * 457) / 86400.0);
                t.setCellStyle(time);
                Cell v = row.createCell(3);
                v.setCellValue("浙A" + (10000 + r * 37));
                v.setCellStyle(car);
                for (int c = 4; c <= 5; ++c) {
                    Cell w = row.createCell(c);
                    w.setCellValue(c == 4 ? 20000 + r * 1234.567 : 8000.5 + r);
                    w.setCellStyle(kg);
                }
                Cell n = row.createCell(6);
                n.setCellFormula("E" + (r + 1) + "-F" + (r + 1));
                n.setCellValue(20000 + r * 1234.567 - 8000.5 - r);
                n.setCellStyle(net);
                Cell p = row.createCell(7);
                p.setCellValue(r * 0.00125);
                p.setCellStyle(pct);
            }
            HSSFRow extra = sh.createRow(13);
            extra.createCell(1).setCellValue(46363);
            extra.getCell(1).setCellStyle(cn);
            extra.createCell(4).setCellValue(123456789.0);
            extra.getCell(4).setCellStyle(sci);
            extra.createCell(5).setCellValue(-42.125);
            extra.getCell(5).setCellStyle(neg);
            HSSFRow note = sh.createRow(15);
            note.createCell(0).setCellValue("说明：第 6 行为复磅，已作废。");
            sh.addMergedRegion(new CellRangeAddress(15, 16, 0, 5));
            sh.getRow(6).setZeroHeight(true);
            sh.setColumnHidden(8, true);
            sh.setColumnWidth(1, 12 * 256);
            sh.setColumnWidth(3, 15 * 256 + 100);
            sh.setColumnWidth(6, 10 * 256);
            sh.setDefaultColumnWidth(9);
            HSSFPatriarch drawing = sh.createDrawingPatriarch();
            HSSFComment comment = drawing.createCellComment(new HSSFClientAnchor(0, 0, 0, 0, (short) 4, 2, (short) 6, 5));
            comment.setString(new HSSFRichTextString("车号待核对"));
            comment.setAuthor("调度");
            sh.getRow(2).getCell(3).setCellComment(comment);
            sh.createFreezePane(1, 1, 2, 4);
            try (FileOutputStream f = new FileOutputStream(path)) {
                wb.write(f);
            }
        }
    }

    static void freeze(String from, String to, String sheet, int columns, int rows) throws Exception {
        try (POIFSFileSystem fs = new POIFSFileSystem(new File(from), true);
             HSSFWorkbook wb = new HSSFWorkbook(fs)) {
            wb.getSheet(sheet).createFreezePane(columns, rows);
            try (FileOutputStream f = new FileOutputStream(to)) {
                wb.write(f);
            }
        }
    }

    public static void main(String[] args) throws Exception {
        out = new PrintStream(System.out, true, "UTF-8");
        if (args.length == 2 && args[0].equals("dump"))
            dump(args[1]);
        else if (args.length == 2 && args[0].equals("look"))
            look(args[1]);
        else if (args.length == 2 && args[0].equals("makelook"))
            makeLook(args[1]);
        else if (args.length == 6 && args[0].equals("freeze"))
            freeze(args[1], args[2], args[3], Integer.parseInt(args[4]), Integer.parseInt(args[5]));
        else if (args.length == 2 && args[0].equals("make"))
            make(args[1]);
        else {
            System.err.println("usage: PoiDump dump|make|look|makelook <file.xls> | freeze <in> <out> <sheet> <columns> <rows>");
            System.exit(2);
        }
    }
}
