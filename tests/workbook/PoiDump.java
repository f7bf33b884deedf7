// What Apache POI's HSSF model sees in an .xls workbook, one property a line, tab-separated,
// for the editor tests to compare before and after a store:
//   java -cp <classes>:/usr/share/java/poi.jar:... PoiDump dump <file.xls>
//   java -cp ... PoiDump make <file.xls>    writes a day's workbook as POI lays it out (row
//                                           blocks with DBCELL and INDEX), with formats
// Lines: workbook, name, picture, sheet, width, row, merge, comment, link, shape, cell.
import java.io.File;
import java.io.FileOutputStream;
import java.io.PrintStream;
import java.security.MessageDigest;
import java.util.Map;
import org.apache.poi.hssf.usermodel.*;
import org.apache.poi.poifs.filesystem.POIFSFileSystem;
import org.apache.poi.ss.usermodel.*;
import org.apache.poi.ss.util.CellAddress;
import org.apache.poi.ss.util.CellRangeAddress;

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

    public static void main(String[] args) throws Exception {
        out = new PrintStream(System.out, true, "UTF-8");
        if (args.length == 2 && args[0].equals("dump"))
            dump(args[1]);
        else if (args.length == 2 && args[0].equals("make"))
            make(args[1]);
        else {
            System.err.println("usage: PoiDump dump|make <file.xls>");
            System.exit(2);
        }
    }
}
